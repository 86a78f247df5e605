// Service generation and status replies of multipathd, on real captures of systemctl.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/cmd_mgmt.h"

using namespace morvel::cli;

namespace {

std::string fixture(const char *name) {
    const auto dir = std::filesystem::path(__FILE__).parent_path().parent_path() / "fixtures" / "mpath";
    std::ifstream in(dir / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ServiceGeneration, El6KernelsAndHostsWithoutSystemctlUseSysV) {
    EXPECT_TRUE(usesSysV("2.6.32-754.el6.x86_64", true));
    EXPECT_TRUE(usesSysV("2.6.32-131.0.15.el6.i686", true));
    EXPECT_FALSE(usesSysV("3.10.0-1160.el7.x86_64", true));
    EXPECT_FALSE(usesSysV("4.18.0-305.el8.x86_64", true));
    EXPECT_FALSE(usesSysV("2.6.32-el6", true));  // the marker needs its dots
    EXPECT_FALSE(usesSysV("", true));
    EXPECT_FALSE(usesSysV(nullptr, true));
    // SLES 11 and other hosts without systemd
    EXPECT_TRUE(usesSysV("3.0.101-63-default", false));
    EXPECT_TRUE(usesSysV(nullptr, false));
    EXPECT_FALSE(kernelRelease().empty());
    EXPECT_EQ(serviceCommand("start", true), "service multipathd start");
    EXPECT_EQ(serviceCommand("status", true), "service multipathd status");
    EXPECT_EQ(serviceCommand("reload", false), "systemctl reload multipathd.service");
}

TEST(SystemdStatus, RealCaptures) {
    const std::string running = fixture("systemctl-status-multipathd-running.out");
    const std::string stopped = fixture("systemctl-status-multipathd-stopped.out");
    ASSERT_FALSE(running.empty());
    ASSERT_FALSE(stopped.empty());
    EXPECT_TRUE(statusSaysRunning(running.c_str(), false));
    EXPECT_FALSE(statusSaysRunning(stopped.c_str(), false));
    // the first line of a systemd reply never holds "running": the SysV rule says no too
    EXPECT_FALSE(statusSaysRunning(running.c_str(), true));
}

TEST(SystemdStatus, OnlyTheThirdNonEmptyLineCounts) {
    const char *active = "     Active: active (running) since Tue; 36s ago\n";
    // empty lines are not counted
    EXPECT_TRUE(statusSaysRunning((std::string("unit\n\n   Loaded: x\n\n") + active).c_str(), false));
    // the running line in second or fourth place does not count
    EXPECT_FALSE(statusSaysRunning((std::string("unit\n") + active + "x\n").c_str(), false));
    EXPECT_FALSE(statusSaysRunning((std::string("unit\nLoaded\nTriggeredBy\n") + active).c_str(), false));
    // the blanks around the words are part of the mark
    EXPECT_FALSE(statusSaysRunning("unit\nLoaded\nActive: active (running)\n", false));
    EXPECT_FALSE(statusSaysRunning("unit\nLoaded\n     Active: inactive (dead) since Tue\n", false));
    EXPECT_FALSE(statusSaysRunning("unit\nLoaded\n     Active: activating (running) x\n", false));
    EXPECT_FALSE(statusSaysRunning("", false));
    EXPECT_FALSE(statusSaysRunning(nullptr, false));
}

TEST(SysVStatus, FirstNonEmptyLineSaysRunning) {
    EXPECT_TRUE(statusSaysRunning("multipathd (pid  1234) is running...\n", true));
    EXPECT_TRUE(statusSaysRunning("\n\nmultipathd (pid  1234) is running...\n", true));
    EXPECT_TRUE(statusSaysRunning("multipathd (pid 1234) 正在运行...\n", true));
    EXPECT_FALSE(statusSaysRunning("multipathd is stopped\n", true));
    EXPECT_FALSE(statusSaysRunning("multipathd is stopped\nbut something is running\n", true));
    EXPECT_FALSE(statusSaysRunning("multipathd 已停\n", true));
}

}  // namespace
