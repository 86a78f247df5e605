// Result items: filling in place and the framed printing.
#include <gtest/gtest.h>

#include <string>

#include "common/ec_items.h"

using namespace morvel::common;

namespace {

const std::string kFrame = std::string(130, '-') + "\n";

std::string printed(const EcItem *item) {
    testing::internal::CaptureStdout();
    print_ec(item);
    return testing::internal::GetCapturedStdout();
}

TEST(ResultItems, CodesAndTemplatesAreProcessWide) {
    EXPECT_EQ(EC_ok.code, 0);
    EXPECT_STREQ(EC_ok.msg, "Successfully.");
    EXPECT_EQ(EC_info_ok.code, 0);
    EXPECT_STREQ(EC_info_ok.msg, "");
    EXPECT_EQ(EC_online_path_fail.code, 138);
    EXPECT_EQ(EC_del_failed_for_using.code, 123);
    EXPECT_STREQ(EC_no_config_info.msg,
                 "No [%s] device configuration information found, please execute \"morvel config\" "
                 "command to configure first.");
}

TEST(ResultItems, PrintFramedErrorLine) {
    initEcItems1(&EC_invalid_cli_name, "frob");
    EXPECT_EQ(printed(&EC_invalid_cli_name), kFrame + "Error(0102): Invalid command name [frob].\n" + kFrame);
    EXPECT_EQ(printed(&EC_no_help).substr(kFrame.size(), 13), "Error(0001): ");
}

TEST(ResultItems, SuccessPrintsFixedText) {
    EXPECT_EQ(printed(&EC_ok), kFrame + "Command executed successfully.\n" + kFrame);
}

TEST(ResultItems, FillReplacesEarlierFill) {
    initEcItems2(&EC_no_device_name, "mpatha", "sdb");
    char out[256];
    getErrorMsg(&EC_no_device_name, out, sizeof out);
    EXPECT_STREQ(out, "Error(0116): This path_alias [mpatha] and device_name [sdb] is not existed.");
    initEcItems1(&EC_no_device_name, "mpathb");
    EXPECT_STREQ(EC_no_device_name.param2, "");
    getErrorMsg(&EC_no_device_name, out, sizeof out);
    EXPECT_STREQ(out, "Error(0116): This path_alias [mpathb] and device_name [] is not existed.");
}

TEST(ResultItems, LongParametersAndMessagesAreCut) {
    const std::string name(100, 'n');
    initEcItems1(&EC_no_this_device, name.c_str());
    EXPECT_EQ(std::string(EC_no_this_device.param1), std::string(64, 'n'));
    char out[256];
    getErrorMsg(&EC_no_this_device, out, sizeof out);
    EXPECT_EQ(std::string(out), "Error(0133): This device [" + std::string(64, 'n') + "] is not existed.");
    char small[10];
    getErrorMsg(&EC_no_this_device, small, sizeof small);
    EXPECT_STREQ(small, "Error(013");
    initEcItems2(&EC_no_device_name, name.c_str(), name.c_str());
    EXPECT_EQ(printed(&EC_no_device_name), kFrame + "Error(0116): This path_alias [" + std::string(64, 'n') +
                                               "] and device_name [" + std::string(64, 'n') +
                                               "] is not existed.\n" + kFrame);
}

}  // namespace
