// Fixed command names, helper-script paths and configuration strings.
#pragma once

namespace morvel::common {

inline constexpr const char CMD_sh[] = "bash";
inline constexpr const char CMD_cat[] = "cat";
inline constexpr const char CMD_cp[] = "\\cp -fp";
inline constexpr const char CMD_echo[] = "echo";
inline constexpr const char CMD_multipath[] = "multipath";
inline constexpr const char CMD_multipathd[] = "multipathd";
inline constexpr const char CMD_systemctl[] = "systemctl";
inline constexpr const char CMD_service[] = "service";

inline constexpr const char SCRIPT_DIR[] = "/usr/bin/morvel-script/";
inline constexpr const char CMD_POLICY_FILE[] = "/usr/bin/morvel-script/policy.sh";
inline constexpr const char CMD_NVME_POLICY_FILE[] = "/usr/bin/morvel-script/policy_nvme.sh";
inline constexpr const char CMD_G2CONFIG_FILE[] = "/usr/bin/morvel-script/g2mpiocfg.sh";
inline constexpr const char CMD_G2SCAN_FILE[] = "/usr/bin/morvel-script/g2morvelscan.sh";
inline constexpr const char CMD_CONNECT_NVME_FILE[] = "/usr/bin/morvel-script/discoverfcnvme.sh";
inline constexpr const char SH_path_state_record[] = "/usr/bin/morvel-script/path_state_record.sh";
inline constexpr const char SH_alias[] = "/usr/bin/morvel-script/alias.sh";
inline constexpr const char SH_run_all_offline_path[] = "/usr/bin/morvel-script/run_all_offline_path.sh";
inline constexpr const char SH_fcport[] = "/usr/bin/morvel-script/fc_info.sh";

inline constexpr const char CONF_FILE[] = "/etc/multipath.conf";
inline constexpr const char CONF_DEFAULT_GROUP[] = "failover";
inline constexpr const char CONF_DEFAULT_CHOOSER[] = "round-robin";
inline constexpr const char CONF_DEFAULT_STATE[] = "online";

}  // namespace morvel::common
