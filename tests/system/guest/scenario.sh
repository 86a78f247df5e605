#!/bin/bash
# Runs one scenario file (tests/system/scenarios/NAME.sh) with the checks, the array look-ups and
# the topology found at setup. The scenario's name is its file name without .sh.
# shellcheck source=/dev/null
source /systest/job.env
GUEST=$SYSTEST_SRC/tests/system/guest
SCEN=$(basename "$1" .sh)
export SCEN
source "$GUEST/lib.sh"
source "$GUEST/arrays.sh"
source /run/systest-topology.env
cd /tmp || exit 1
source "$1"
exit 0
