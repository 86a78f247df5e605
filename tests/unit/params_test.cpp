// Parameter checks: name rules, per-command word rules and the values left in the slots.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "cli/cli_tags.h"

using namespace morvel::cli;

namespace {

// argv of "morvel <words...>", kept alive for the duration of a check.
class Argv {
public:
    Argv(std::initializer_list<std::string> words) : words_{"morvel"} {
        words_.insert(words_.end(), words.begin(), words.end());
        for (auto &w : words_) ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char **argv() { return ptrs_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char *> ptrs_;
};

EcItem *check(std::initializer_list<std::string> words) {
    Argv a(words);
    return checkCliParams(a.argc(), a.argv());
}

const std::string kScsiWwid = "36000aabbccdd0000000000000000001a";             // 33
const std::string kNvmeWwid = "eui.0123456789abcdef0123456789ABCDEF";          // 36

}  // namespace

TEST(NameRules, DeviceName) {
    EXPECT_EQ(checkDeviceName("mpatha"), &EC_ok);
    EXPECT_EQ(checkDeviceName("my-disk.1"), &EC_ok);
    EXPECT_EQ(checkDeviceName("My_Disk"), &EC_ok);
    EXPECT_EQ(checkDeviceName(("a" + std::string(59, 'b')).c_str()), &EC_ok);
    EXPECT_EQ(checkDeviceName(("a" + std::string(60, 'b')).c_str()), &EC_devicename_length_error);
    EXPECT_EQ(checkDeviceName("1disk"), &EC_devicename_format_error);
    EXPECT_EQ(checkDeviceName(""), &EC_devicename_format_error);
    // WWID shapes are accepted although they begin with a digit or hold a full stop,
    // and are not restricted to hexadecimal digits.
    EXPECT_EQ(checkDeviceName(kScsiWwid.c_str()), &EC_ok);
    EXPECT_EQ(checkDeviceName(("3" + std::string(32, 'z')).c_str()), &EC_ok);
    EXPECT_EQ(checkDeviceName(kNvmeWwid.c_str()), &EC_ok);
    EXPECT_EQ(checkDeviceName(("3" + std::string(31, 'a')).c_str()), &EC_devicename_format_error);
    EXPECT_EQ(checkDeviceName(("3" + std::string(33, 'a')).c_str()), &EC_devicename_format_error);
    EXPECT_EQ(checkDeviceName(("3" + std::string(31, 'a') + "-").c_str()), &EC_devicename_format_error);
    // Shell metacharacters never pass.
    EXPECT_EQ(checkDeviceName("sdc;reboot"), &EC_devicename_format_error);
    EXPECT_EQ(checkDeviceName("sdc$(id)"), &EC_devicename_format_error);
    EXPECT_EQ(checkDeviceName("sd c"), &EC_devicename_format_error);
    EXPECT_EQ(checkDeviceName("sdc\n"), &EC_devicename_format_error);
}

TEST(NameRules, Wwid) {
    EXPECT_EQ(checkWwid(kScsiWwid.c_str()), &EC_ok);
    EXPECT_EQ(checkWwid(kNvmeWwid.c_str()), &EC_ok);
    EXPECT_EQ(checkWwid(("3" + std::string(32, 'Q')).c_str()), &EC_ok);
    EXPECT_EQ(checkWwid((kScsiWwid + "0").c_str()), &EC_wwid_length_error);
    EXPECT_EQ(checkWwid("3"), &EC_wwid_length_error);
    EXPECT_EQ(checkWwid(("3" + std::string(31, '0') + "-").c_str()), &EC_wwid_format_error);
    EXPECT_EQ(checkWwid(("naa." + std::string(32, '0')).c_str()), &EC_wwid_format_error);
    EXPECT_EQ(checkWwid(("eui." + std::string(31, '0')).c_str()), &EC_wwid_length_error);
    EXPECT_EQ(checkWwid(("eui." + std::string(31, '0') + ".").c_str()), &EC_wwid_format_error);
    EXPECT_EQ(checkWwid(""), &EC_wwid_format_error);
    EXPECT_EQ(checkWwid(("3" + std::string(31, '0') + ";").c_str()), &EC_wwid_format_error);
}

// The WWIDs the kernel gives NVMe namespaces (the nvme. ones as nvmet in the test VM gives
// them: a 20-digit serial makes 78 characters), for -wwid and as device names.
TEST(NameRules, NvmeWwidForms) {
    const std::string serial = "3935343563323531653631396332343463626366";  // 20 bytes in hex
    const std::string uuid = "uuid.4b454c44-4f52-5a52-4e00-000000000001";
    struct Case {
        std::string wwid;
        EcItem *asWwid, *asName;
    } cases[] = {
        {uuid, &EC_ok, &EC_ok},
        {"uuid.4B454C44-4F52-5A52-4E00-00000000000A", &EC_ok, &EC_ok},
        {"eui.4b454c444f525a52", &EC_ok, &EC_ok},
        {"nvme.0000-" + serial + "-4b454c444f525a524e-00000003", &EC_ok, &EC_devicename_length_error},
        {"nvme.0000-393534-4b454c444f525a524e-00000003", &EC_ok, &EC_ok},
        {"nvme.0000-" + serial + serial + "-" + serial + serial + "-00000003", &EC_wwid_length_error,
         &EC_devicename_length_error},
        // wrong lengths
        {uuid + "0", &EC_wwid_length_error, &EC_ok},  // a plain map name to the name rule
        {"eui.4b454c444f525a5", &EC_wwid_length_error, &EC_ok},
        {"nvme.1b36-4b-000001", &EC_wwid_length_error, &EC_ok},
        // wrong shapes; what is no map name either stays refused as a name
        {"uuid.4b454c44-4f52-5a52-4e00-00000000000g", &EC_wwid_format_error, &EC_ok},
        {"uuid.4b454c444-f52-5a52-4e00-000000000001", &EC_wwid_format_error, &EC_ok},
        {"uuid.4b454c44-4f52-5a52-4e00-0000000000;1", &EC_wwid_format_error, &EC_devicename_format_error},
        {"nvme.1b36-123-4b-00000001", &EC_wwid_format_error, &EC_ok},
        {"nvme.1b36-12-4b-00000001-", &EC_wwid_format_error, &EC_ok},
        {"eui.4b454c444f525a5$", &EC_wwid_format_error, &EC_devicename_format_error},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.wwid);
        EXPECT_EQ(checkWwid(c.wwid.c_str()), c.asWwid);
        EXPECT_EQ(checkDeviceName(c.wwid.c_str()), c.asName);
    }
    EXPECT_EQ(check({"setalias", "-wwid", uuid, "-alias", "nvdata"}), &EC_ok);
    EXPECT_EQ(check({"delalias", "-wwid", cases[3].wwid}), &EC_ok);
    EXPECT_EQ(check({"query", uuid}), &EC_ok);
    EXPECT_EQ(check({"delete", cases[4].wwid}), &EC_ok);
}

TEST(NameRules, Alias) {
    EXPECT_EQ(checkAlias("dbdata"), &EC_ok);
    EXPECT_EQ(checkAlias(("a" + std::string(60, 'b')).c_str()), &EC_alias_length_error);
    EXPECT_EQ(checkAlias("9data"), &EC_alias_format_error);
    EXPECT_EQ(checkAlias(kScsiWwid.c_str()), &EC_ok);
    EXPECT_EQ(checkAlias("db data"), &EC_alias_format_error);
}

TEST(NameRules, DigitOrLetterIsAsciiOnly) {
    EXPECT_EQ(isDigitorOrLetter(""), 1);
    EXPECT_EQ(isDigitorOrLetter("azAZ09"), 1);
    EXPECT_EQ(isDigitorOrLetter("a_b"), 0);
    EXPECT_EQ(isDigitorOrLetter("\xc3\xa9"), 0);
}

TEST(DeleteAndQuery, Words) {
    EXPECT_EQ(check({"delete"}), &EC_miss_mpathx);
    EXPECT_EQ(check({"delete", "mpatha", "mpathb"}), &EC_invalid_param);
    EXPECT_STREQ(EC_invalid_param.param1, "mpathb");
    EXPECT_EQ(check({"delete", "1disk"}), &EC_devicename_format_error);
    EXPECT_EQ(check({"delete", "mpathc"}), &EC_ok);
    EXPECT_STREQ(gParamMpathxVal, "mpathc");

    EXPECT_EQ(check({"query"}), &EC_ok);
    EXPECT_EQ(check({"query", kNvmeWwid}), &EC_ok);
    EXPECT_EQ(kNvmeWwid, gParamMpathxVal);
    EXPECT_EQ(check({"query", "a", "b"}), &EC_invalid_param);
    EXPECT_STREQ(EC_invalid_param.param1, "b");
    EXPECT_EQ(check({"query", std::string(61, 'a')}), &EC_devicename_length_error);
}

TEST(SetAlias, Words) {
    EXPECT_EQ(check({"setalias"}), &EC_miss_alias_wwid);
    EXPECT_EQ(check({"setalias", "-wwid", kScsiWwid}), &EC_miss_alias);
    EXPECT_EQ(check({"setalias", "-alias", "dbdata"}), &EC_miss_wwid);
    EXPECT_EQ(check({"setalias", "-alias", "a", "-alias", "b"}), &EC_param_duped);
    EXPECT_STREQ(EC_param_duped.param1, "-alias");
    EXPECT_EQ(check({"setalias", "-name", "x"}), &EC_invalid_param_name);
    EXPECT_STREQ(EC_invalid_param_name.param1, "-name");
    EXPECT_EQ(check({"setalias", "-wwid", kScsiWwid, "-alias"}), &EC_miss_param_val);
    EXPECT_STREQ(EC_miss_param_val.param1, "-alias");

    EXPECT_EQ(check({"setalias", "-wwid", kScsiWwid + "0", "-alias", "db"}), &EC_wwid_length_error);
    EXPECT_EQ(check({"setalias", "-wwid", "naa." + std::string(32, '0'), "-alias", "db"}),
              &EC_wwid_format_error);
    // The WWID is judged before the alias.
    EXPECT_EQ(check({"setalias", "-wwid", "x", "-alias", "9"}), &EC_wwid_format_error);
    EXPECT_EQ(check({"setalias", "-wwid", kScsiWwid, "-alias", std::string(61, 'a')}),
              &EC_alias_length_error);
    EXPECT_EQ(check({"setalias", "-wwid", kScsiWwid, "-alias", "9db"}), &EC_alias_format_error);

    EXPECT_EQ(check({"setalias", "-alias", "dbdata", "-wwid", kScsiWwid}), &EC_ok);
    EXPECT_EQ(kScsiWwid, gParamWwidVal);
    EXPECT_STREQ(gParamAliasVal, "dbdata");
    // An empty value does not count as given, so the pair may come again; the extra
    // words are then refused.
    EXPECT_EQ(check({"setalias", "-wwid", "", "-wwid", kScsiWwid, "-alias", "db"}), &EC_invalid_param);
    EXPECT_STREQ(EC_invalid_param.param1, "-alias");
}

TEST(DelAlias, Words) {
    EXPECT_EQ(check({"delalias"}), &EC_miss_wwid);
    EXPECT_EQ(check({"delalias", "-alias", "x"}), &EC_invalid_param_name);
    EXPECT_STREQ(EC_invalid_param_name.param1, "-alias");
    EXPECT_EQ(check({"delalias", "-wwid"}), &EC_miss_param_val);
    EXPECT_STREQ(EC_miss_param_val.param1, "-wwid");
    EXPECT_EQ(check({"delalias", "-wwid", kScsiWwid, "extra"}), &EC_invalid_param);
    EXPECT_STREQ(EC_invalid_param.param1, "extra");
    EXPECT_EQ(check({"delalias", "-wwid", kNvmeWwid}), &EC_ok);
    EXPECT_EQ(kNvmeWwid, gParamWwidVal);
}

TEST(DelAlias, WwidIsCheckedBeforeItReachesTheScript) {
    EXPECT_EQ(check({"delalias", "-wwid", "x;rm -rf /"}), &EC_wwid_format_error);
    EXPECT_EQ(check({"delalias", "-wwid", "3" + std::string(31, '0') + "$"}), &EC_wwid_format_error);
    EXPECT_EQ(check({"delalias", "-wwid", kScsiWwid + "00"}), &EC_wwid_length_error);
}

TEST(SetState, Words) {
    EXPECT_EQ(check({"setstate"}), &EC_miss_device_path_state);
    EXPECT_EQ(check({"setstate", "-state", "offline", "-device_name", "sdc", "-path_alias", "mpatha"}),
              &EC_ok);
    EXPECT_STREQ(gParamMpathxVal, "mpatha");
    EXPECT_STREQ(gParamPathVal, "sdc");
    EXPECT_STREQ(gParamStateVal, "offline");

    EXPECT_EQ(check({"setstate", "-path_alias", "mpatha", "-device_name", "sdc", "-state", "Online"}),
              &EC_invalid_param_value);
    EXPECT_STREQ(EC_invalid_param_value.param1, "Online");
    EXPECT_EQ(check({"setstate", "-path_alias", "mpatha", "-state", "online"}), &EC_miss_device_path_state);
    EXPECT_EQ(check({"setstate", "-path", "mpatha"}), &EC_invalid_param_name);
    EXPECT_EQ(check({"setstate", "-path_alias"}), &EC_miss_param_val);
    EXPECT_STREQ(EC_miss_param_val.param1, "-path_alias");
    // A fourth pair is read like the others, then refused as the first word too many.
    EXPECT_EQ(check({"setstate", "-path_alias", "a", "-device_name", "sdc", "-state", "online", "-x", "y"}),
              &EC_invalid_param_name);
    EXPECT_EQ(check({"setstate", "-path_alias", "a", "-device_name", "sdc", "-state", "online", "-state",
                     "offline"}),
              &EC_invalid_param);
    EXPECT_STREQ(EC_invalid_param.param1, "-state");

    // A name given twice keeps its later value; the device slot of this run was cleared.
    EXPECT_EQ(check({"setstate", "-path_alias", "a", "-path_alias", "b", "-state", "online"}), &EC_ok);
    EXPECT_STREQ(gParamMpathxVal, "b");
    EXPECT_STREQ(gParamPathVal, "");
}

TEST(SetState, DeviceNameIsCheckedBeforeItReachesSysfs) {
    EXPECT_EQ(check({"setstate", "-path_alias", "mpatha", "-device_name", "sdc;reboot", "-state", "offline"}),
              &EC_devicename_format_error);
    EXPECT_EQ(check({"setstate", "-path_alias", "mpatha", "-device_name", "../../x", "-state", "offline"}),
              &EC_devicename_format_error);
    EXPECT_EQ(check({"setstate", "-path_alias", "mpatha", "-device_name", std::string(61, 's'), "-state",
                     "offline"}),
              &EC_devicename_length_error);
    EXPECT_EQ(check({"setstate", "-path_alias", "mpatha", "-device_name", "nvme0n1", "-state", "online"}),
              &EC_ok);
}

TEST(SetPathPolicy, Words) {
    EXPECT_EQ(check({"setpathpolicy"}), &EC_miss_group_chooser);
    EXPECT_EQ(check({"setpathpolicy", "-scsi"}), &EC_miss_group_chooser);
    EXPECT_EQ(check({"setpathpolicy", "-nvme", "-group", "group_by_prio"}), &EC_invalid_param_value);
    EXPECT_STREQ(EC_invalid_param_value.param1, "group_by_prio");
    EXPECT_EQ(check({"setpathpolicy", "-group", "failover", "-group", "multibus"}), &EC_param_duped);
    EXPECT_STREQ(EC_param_duped.param1, "multibus");
    EXPECT_EQ(check({"setpathpolicy", "-scsi", "-nvme"}), &EC_invalid_param_name);
    EXPECT_STREQ(EC_invalid_param_name.param1, "-nvme");
    EXPECT_EQ(check({"setpathpolicy", "-chooser"}), &EC_miss_param_val);
    EXPECT_STREQ(EC_miss_param_val.param1, "-chooser");
    EXPECT_EQ(check({"setpathpolicy", "-chooser", "random"}), &EC_invalid_param_value);

    EXPECT_EQ(check({"setpathpolicy", "-nvme", "-chooser", "queue-length"}), &EC_ok);
    EXPECT_EQ(gParamHostInterfaceType, 1);
    EXPECT_STREQ(gParamChooserVal, "queue-length");
    EXPECT_STREQ(gParamGroupVal, "");
    // The type starts at SCSI again on every run.
    EXPECT_EQ(check({"setpathpolicy", "-group", "group_by_prio", "-chooser", "service-time"}), &EC_ok);
    EXPECT_EQ(gParamHostInterfaceType, 0);
    EXPECT_STREQ(gParamGroupVal, "group_by_prio");
    EXPECT_STREQ(gParamChooserVal, "service-time");
}

TEST(SetPathPolicy, TypeFlagAppliesToTheValuesAfterIt) {
    EXPECT_EQ(check({"setpathpolicy", "-group", "group_by_prio", "-nvme", "-chooser", "round-robin"}), &EC_ok);
    EXPECT_EQ(gParamHostInterfaceType, 1);
    EXPECT_EQ(check({"setpathpolicy", "-chooser", "round-robin", "-nvme", "-group", "group_by_prio"}),
              &EC_invalid_param_value);
    // Two flags make eight words: one too many.
    EXPECT_EQ(check({"setpathpolicy", "-scsi", "-group", "failover", "-nvme", "-chooser", "round-robin"}),
              &EC_invalid_param);
    EXPECT_STREQ(EC_invalid_param.param1, "round-robin");
}

TEST(OtherCommands, TakeNoWords) {
    for (const char *name : {"aggregation", "config", "lsalias", "lspathpolicy", "restart", "scan", "start",
                             "status", "stop", "version", "port", "refresh"}) {
        EXPECT_EQ(check({name}), &EC_ok) << name;
        EXPECT_EQ(check({name, "foo", "bar"}), &EC_invalid_param) << name;
        EXPECT_STREQ(EC_invalid_param.param1, "foo") << name;
    }
}

TEST(Slots, LongValueIsCutTo256Characters) {
    std::string longAlias(300, 'a');
    EXPECT_EQ(check({"setstate", "-path_alias", longAlias, "-device_name", "sdb", "-state", "online"}), &EC_ok);
    EXPECT_EQ(std::strlen(gParamMpathxVal), 256u);
    EXPECT_EQ(gParamMpathxVal[256], '\0');
    // A shorter value later leaves nothing of the longer one behind.
    EXPECT_EQ(check({"setstate", "-path_alias", "m", "-device_name", "sdb", "-state", "online"}), &EC_ok);
    EXPECT_STREQ(gParamMpathxVal, "m");
    EXPECT_EQ(gParamMpathxVal[255], '\0');
}
