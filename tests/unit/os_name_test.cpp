// Distribution name from the release files and lsb_release. Runs in the throw-away
// sandbox root, so the release files and /usr/bin/lsb_release can be laid out freely.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/os_name.h"

using namespace morvel::common;

namespace {

const char *const kSources[] = {"/etc/oracle-release", "/etc/redhat-release", "/etc/os-release",
                                "/etc/SuSE-release", "/usr/bin/lsb_release"};

void put(const char *path, const std::string &text, mode_t mode = 0644) {
    FILE *f = fopen(path, "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
    chmod(path, mode);
}

// A fake lsb_release that prints `line` for "-d -s".
void fakeLsb(const std::string &line) {
    put("/usr/bin/lsb_release", "#!/bin/sh\nprintf '%s' '" + line + "'\n", 0755);
}

// With `text` written to `path`, the name is `name`.
void expectName(const char *path, const std::string &text, const char *name) {
    put(path, text);
    EXPECT_STREQ(get_os_name(), name) << path << ": " << text;
}

class OsName : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *p : kSources) unlink(p);
    }
};

TEST_F(OsName, RedHatFamilyReleaseLines) {
    struct Row {
        const char *line;
        const char *name;
    } rows[] = {
        {"Red Hat Enterprise Linux Server release 7.9 (Maipo)\n", "Red Hat Enterprise Linux Server 7.9 "},
        {"CentOS Linux release 8.2.2004 (Core)\n", "CentOS Linux 8.2.2004 "},
        // no code name: the character before the line feed is lost
        {"Oracle Linux Server release 8.4\n", "Oracle Linux Server 8."},
        // no line feed at all: the last two characters are lost
        {"Red Hat Enterprise Linux release 10.0", "Red Hat Enterprise Linux 10"},
        {"Rocky (Green Obsidian)\n", "Rocky "},
    };
    for (const Row &r : rows) {
        expectName("/etc/redhat-release", r.line, r.name);
    }
}

TEST_F(OsName, OracleFileWinsOverRedHatFile) {
    put("/etc/redhat-release", "Red Hat Enterprise Linux release 8.4 (Ootpa)\n");
    put("/etc/oracle-release", "Oracle Linux Server release 8.4 (x)\n");
    EXPECT_STREQ(get_os_name(), "Oracle Linux Server 8.4 ");
}

TEST_F(OsName, ReleaseFileNameIsCutTo64Characters) {
    const std::string product(70, 'R');
    put("/etc/redhat-release", product + " release 9.9 (x)\n");
    EXPECT_EQ(std::string(get_os_name()), std::string(64, 'R'));
}

TEST_F(OsName, BlankOrEmptyRedHatFileFallsThroughToTheNextSource) {
    put("/etc/os-release", "NAME=\"SLES\"\nVERSION=\"15-SP1\"\n");
    expectName("/etc/redhat-release", "", "VERSION=\"15-SP1\"\n");
    expectName("/etc/redhat-release", "\n", "VERSION=\"15-SP1\"\n");
    // two characters: nothing is copied, but the source answered
    expectName("/etc/redhat-release", "x\n", "");
}

TEST_F(OsName, OsReleaseGivesItsSecondLineWithTheLineFeed) {
    expectName("/etc/os-release", "NAME=\"SLES\"\nVERSION=\"12-SP5\"\nID=\"sles\"\n", "VERSION=\"12-SP5\"\n");

    put("/etc/os-release", "NAME=x\n" + std::string(100, 'v') + "\n");
    EXPECT_EQ(std::string(get_os_name()), std::string(64, 'v'));
}

TEST_F(OsName, OsReleaseWithoutSecondLineFallsThroughToLsbRelease) {
    put("/etc/os-release", "NAME=x\n");
    put("/etc/SuSE-release", "SUSE Linux Enterprise Server 12 (x86_64)\nVERSION = 12\nPATCHLEVEL = 4\n");
    fakeLsb("Debian GNU/Linux 12 (bookworm)\n");
    // os-release is readable, so the SuSE file is not looked at
    EXPECT_STREQ(get_os_name(), "Debian GNU/Linux 12");
}

TEST_F(OsName, SuseReleaseJoinsFirstAndThirdLines) {
    expectName("/etc/SuSE-release", "SUSE Linux Enterprise Server 12 (x86_64)\nVERSION = 12\nPATCHLEVEL = 4\n",
               "SUSE Linux Enterprise Server 12PATCHLEVEL = 4\n");
    // without a bracket the first line only loses its line feed
    expectName("/etc/SuSE-release", "SUSE Linux Enterprise Server 11\nVERSION = 11\nPATCHLEVEL = 3\n",
               "SUSE Linux Enterprise Server 11PATCHLEVEL = 3\n");
    // a bracket in the first column counts as none
    expectName("/etc/SuSE-release", "(x)\nb\nc\n", "(x)c\n");
}

TEST_F(OsName, LsbReleaseDescription) {
    struct Row {
        const char *line;
        const char *name;
    } rows[] = {
        {"\"Red Hat Enterprise Linux Server release 7.9 (Maipo)\"\n", "Red Hat Enterprise Linux Server release 7.9"},
        {"Ubuntu 22.04.3 LTS\n", "Ubuntu 22.04.3 LTS"},
        {"\"SUSE Linux Enterprise Server 15 SP1\"\n", "SUSE Linux Enterprise Server 15 SP1"},
        {"plain", "plai"},  // no line feed: the last character read is dropped
    };
    for (const Row &r : rows) {
        fakeLsb(r.line);
        EXPECT_STREQ(get_os_name(), r.name) << r.line;
    }
}

TEST_F(OsName, NothingFoundGivesUnknownLinuxInTheSameBuffer) {
    const char *first = get_os_name();
    EXPECT_STREQ(first, "Unknown Linux");
    fakeLsb("");
    put("/etc/redhat-release", "CentOS Linux release 7.9.2009 (Core)\n");
    const char *second = get_os_name();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "CentOS Linux 7.9.2009 ");
    unlink("/etc/redhat-release");
    EXPECT_STREQ(get_os_name(), "Unknown Linux");
}

}  // namespace
