// Distribution name of the host, from the release files or lsb_release.
#pragma once

namespace morvel::common {

const char *get_os_name(void);
int read_redhat_release(void);
int read_suse_release(void);
int read_lsb_release(void);

}  // namespace morvel::common
