#!/bin/bash
# Path-group policy and path chooser of the Keldor SCSI device block in /etc/multipath.conf.
#   policy.sh query                    prints the group (line 1) and the chooser (line 2)
#   policy.sh set <group> <chooser>    rewrites the two policy lines of the block
# Exit status 0 on success; without a block it prints "No configuration" and exits 1.

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1
mv_policy_main scsi "$@"
