// Result items: one process-wide item per kind, returned by address and filled in place.
#pragma once
#include <cstdint>

namespace morvel::common {

struct EcItem {
    int32_t code;
    char msg[257];
    char param1[257];
    char param2[257];
    char param3[257];
};

#define MORVEL_EC_ITEMS(X)                                                                  \
    X(ok, 0, "Successfully.")                                                               \
    X(info_ok, 0, "")                                                                       \
    X(no_help, 1, "No help avaliable for [%s].")                                            \
    X(print_help, 2, "Show command help failed.")                                           \
    X(exe_cmd_failed, 3, "Execute system command failed.")                                  \
    X(molloc_failed, 4, "Molloc memory space failed.")                                      \
    X(invalid_input, 101, "Invalid input.")                                                 \
    X(invalid_cli_name, 102, "Invalid command name [%s].")                                  \
    X(invalid_param_name, 103, "Invalid command parameter name [%s].")                      \
    X(invalid_param_value, 104, "Invalid command parameter value [%s].")                    \
    X(invalid_param, 105, "Invalid command parameter [%s].")                                \
    X(miss_mpathx, 106, "Missing deleted multipath.")                                       \
    X(miss_group_chooser, 107, "Missing parameter [-group] or [-chooser].")                 \
    X(miss_param_val, 108, "Missing value for the parameter [%s].")                         \
    X(param_duped, 109, "Duplicated parameter [%s].")                                       \
    X(parse_cmd_out, 110, "Parse command output failed.")                                   \
    X(miss_device_path_state, 111,                                                          \
      "Missing parameter [-device_name] or [-path_alias] or [-state].")                     \
    X(parse_error_path, 112, "This Path [%s] is not one of the paths for the device.")      \
    X(is_already_online, 113, "This Path [%s] is already online.")                          \
    X(is_already_offline, 114, "This Path [%s] is already offline.")                        \
    X(no_path_alias, 115, "This path_alias [%s] is not existed.")                           \
    X(no_device_name, 116, "This path_alias [%s] and device_name [%s] is not existed.")     \
    X(miss_alias_wwid, 117, "Missing parameters [-alias] and [-wwid].")                     \
    X(miss_alias, 118, "Missing parameter [-alias].")                                       \
    X(miss_wwid, 119, "Missing parameter [-wwid].")                                         \
    X(exist_wwid_alias, 120, "The pair wwid[%s] and alias[%s] has existed.")                \
    X(exist_alias, 121, "The alias[%s] has be configed for other wwid.")                    \
    X(no_wwid, 122, "The specified wwid[%s] does not be configed alias.")                   \
    X(del_failed_for_using, 123, "The path is being used, can not be deleted.")             \
    X(exe_cmd_timeout, 124, "Execute system command timeout.")                              \
    X(wwid_length_error, 125, "Wrong length of parameter [-wwid] value.")                   \
    X(wwid_format_error, 126, "Wrong format of parameter [-wwid] value.")                   \
    X(nvme_is_not_support_online, 127, "The nvme device [%s] is not support online.")       \
    X(nvme_is_not_support_offline, 128, "The nvme device [%s] is not support offline.")     \
    X(alias_length_error, 129, "Wrong length of parameter [-alias] value.")                 \
    X(alias_format_error, 130, "Wrong format of parameter [-alias] value.")                 \
    X(devicename_length_error, 131, "Wrong length of device name.")                         \
    X(devicename_format_error, 132, "Wrong format of device name.")                         \
    X(no_this_device, 133, "This device [%s] is not existed.")                              \
    X(no_config_info, 134,                                                                  \
      "No [%s] device configuration information found, please execute \"morvel config\" "   \
      "command to configure first.")                                                        \
    X(os_not_support, 135, "Distribute type is not supported.")                             \
    X(os_not_support_fcnvme, 136, "This OS is not support FC-NVMe.")                        \
    X(offline_path_fail, 137, "Fail this path [%s] failed.")                                \
    X(online_path_fail, 138, "Reinstate this path [%s] failed.")                           \
    X(native_nvme_not_support, 139,                                                         \
      "The nvme device [%s] is served by native NVMe multipathing, which has %s.")

#define MORVEL_EC_DECLARE(name, code, text) extern EcItem EC_##name;
MORVEL_EC_ITEMS(MORVEL_EC_DECLARE)
#undef MORVEL_EC_DECLARE

void initEcItems1(EcItem *item, const char *s1);
void initEcItems2(EcItem *item, const char *s1, const char *s2);
// Fills the item's parameters as initEcItems2 does and returns it: `return withParams(&EC_x, s);`
EcItem *withParams(EcItem *item, const char *s1, const char *s2 = nullptr);
void getErrorMsg(const EcItem *item, char *out, int outLen);
void print_ec(const EcItem *item);
void print__(void);

}  // namespace morvel::common
