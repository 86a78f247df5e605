// Pure rules of the path-policy commands: which distributions support FC-NVMe, how the
// policy script's reply is read, which read-back values may reach a command line, and the
// record that ties the configuration backup to the file that replaced it.
#include <gtest/gtest.h>

#include <cstring>

#include "cli/cmd_mgmt.h"
#include "cli/conf_edit.h"

using namespace morvel::cli;

namespace {

TEST(FcNvmeCapable, RedHatAndCentOsCompareReleaseNumbers) {
    // names as the release files and lsb_release give them
    EXPECT_TRUE(isFcNvmeCapable("Red Hat Enterprise Linux Server 8.0 "));
    EXPECT_TRUE(isFcNvmeCapable("Red Hat Enterprise Linux 8.4 "));
    EXPECT_TRUE(isFcNvmeCapable("Red Hat Enterprise Linux 9.2 "));
    EXPECT_TRUE(isFcNvmeCapable("Red Hat Enterprise Linux 10.0 "));  // not older than 8.0
    EXPECT_TRUE(isFcNvmeCapable("Red Hat Enterprise Linux 10"));
    EXPECT_TRUE(isFcNvmeCapable("Red Hat Enterprise Linux release 8.10"));
    EXPECT_FALSE(isFcNvmeCapable("Red Hat Enterprise Linux Server 7.9 "));
    EXPECT_FALSE(isFcNvmeCapable("Red Hat Enterprise Linux Workstation 7.9"));
    EXPECT_FALSE(isFcNvmeCapable("Red Hat Enterprise Linux Server "));  // no number at all
    EXPECT_TRUE(isFcNvmeCapable("CentOS Linux 8.2.2004 "));
    EXPECT_TRUE(isFcNvmeCapable("CentOS Linux release 8.0.1905"));
    EXPECT_FALSE(isFcNvmeCapable("CentOS Linux 7.9.2009 "));
    EXPECT_FALSE(isFcNvmeCapable("CentOS Stream 9"));
}

TEST(FcNvmeCapable, SuseServicePacks) {
    EXPECT_TRUE(isFcNvmeCapable("VERSION=\"12-SP5\"\n"));
    EXPECT_TRUE(isFcNvmeCapable("VERSION=\"15-SP1\"\n"));
    EXPECT_TRUE(isFcNvmeCapable("VERSION=\"12-SP10\"\n"));
    EXPECT_FALSE(isFcNvmeCapable("VERSION=\"12-SP4\"\n"));
    EXPECT_FALSE(isFcNvmeCapable("VERSION=\"9-SP9\"\n"));
    // the SuSE-release form: 12 patch level 4 is the last one without FC-NVMe
    EXPECT_FALSE(isFcNvmeCapable("SUSE Linux Enterprise Server 12PATCHLEVEL = 4\n"));
    EXPECT_FALSE(isFcNvmeCapable("SUSE Linux Enterprise Server 12 PATCHLEVEL = 4"));
    EXPECT_FALSE(isFcNvmeCapable("SUSE Linux Enterprise Server 11PATCHLEVEL = 9\n"));
    EXPECT_TRUE(isFcNvmeCapable("SUSE Linux Enterprise Server 12PATCHLEVEL = 5\n"));
    EXPECT_TRUE(isFcNvmeCapable("SUSE Linux Enterprise Server 15PATCHLEVEL = 0\n"));
    EXPECT_TRUE(isFcNvmeCapable("SUSE Linux Enterprise Server 15 SP1"));  // lsb_release
}

TEST(FcNvmeCapable, OtherDistributionsAreNot) {
    EXPECT_FALSE(isFcNvmeCapable("Oracle Linux Server 8."));
    EXPECT_FALSE(isFcNvmeCapable("NAME=\"Debian GNU/Linux\"\n"));
    EXPECT_FALSE(isFcNvmeCapable("Unknown Linux"));
    EXPECT_FALSE(isFcNvmeCapable(""));
    EXPECT_FALSE(isFcNvmeCapable(nullptr));
}

struct Policy {
    char group[256];
    char chooser[256];
    Policy() {
        memset(group, 'g', sizeof group);
        memset(chooser, 'c', sizeof chooser);
        group[255] = chooser[255] = '\0';
    }
};

TEST(PolicyReply, TwoLinesFillBothBuffers) {
    Policy p;
    parsePolicyOutput("failover\nround-robin\n", p.group, 256, p.chooser, 256);
    EXPECT_STREQ(p.group, "failover");
    EXPECT_STREQ(p.chooser, "round-robin");

    Policy q;  // no final line feed; a third line is ignored
    parsePolicyOutput("multibus\nservice-time", q.group, 256, q.chooser, 256);
    EXPECT_STREQ(q.chooser, "service-time");
    parsePolicyOutput("group_by_prio\nqueue-length\nextra\n", q.group, 256, q.chooser, 256);
    EXPECT_STREQ(q.group, "group_by_prio");
    EXPECT_STREQ(q.chooser, "queue-length");
}

TEST(PolicyReply, FewerThanTwoLinesLeaveTheBuffersAlone) {
    for (const char *reply : {"failover\n", "failover", "", "\n"}) {
        Policy p;
        parsePolicyOutput(reply, p.group, 256, p.chooser, 256);
        EXPECT_EQ(p.group[0], 'g') << reply;
        EXPECT_EQ(p.chooser[0], 'c') << reply;
    }
    Policy e;  // an empty first line still counts as a line
    parsePolicyOutput("\nround-robin\n", e.group, 256, e.chooser, 256);
    EXPECT_STREQ(e.group, "");
    EXPECT_STREQ(e.chooser, "round-robin");
}

TEST(PolicyReply, LinesAreCutToTheBuffers) {
    char group[5];
    char chooser[3];
    parsePolicyOutput("failover\nround-robin\n", group, sizeof group, chooser, sizeof chooser);
    EXPECT_STREQ(group, "fail");
    EXPECT_STREQ(chooser, "ro");
}

TEST(PolicyReply, OnlyPlainWordsAreReused) {
    for (const char *w : {"failover", "group_by_node_name", "round-robin", "x1"}) EXPECT_TRUE(isPlainPolicyWord(w)) << w;
    for (const char *w : {"", "service-time 0", "a;b", "$(reboot)", "\"x\"", "a\tb"}) {
        EXPECT_FALSE(isPlainPolicyWord(w)) << w;
    }
}

TEST(BackupRecord, ReadsBackWhatItWritesAndNothingElse) {
    const BackupRecord record{identityOf("defaults {}\n"), identityOf("")};
    EXPECT_NE(record.backup, record.replacedBy);
    EXPECT_NE(identityOf("ab"), identityOf("ba"));
    const std::string text = formatBackupRecord(record);
    EXPECT_EQ(parseBackupRecord(text), record);
    const std::string hash(16, 'f');
    for (const std::string &bad :
         {std::string(), text.substr(0, text.size() - 1), text + "\n", "backup 1 " + hash + "\n",
          "backup -1 " + hash + "\nreplaced-by 1 " + hash + "\n", "backup 1 " + hash + "0\nreplaced-by 1 " + hash + "\n",
          "replaced-by 1 " + hash + "\nbackup 1 " + hash + "\n", "backup  1 " + hash + "\nreplaced-by 1 " + hash + "\n"}) {
        EXPECT_FALSE(parseBackupRecord(bad)) << bad;
    }
}

}  // namespace
