// Shell command runner and its wrappers: cleaning, exit statuses, buffer growth, overlong
// command lines, out-of-memory, the time-out layer and the signal helper.
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "cli/cli_exe.h"
#include "common/log.h"
#include "common/runner.h"
#include "unit/runtime_test_util.h"

using namespace morvel::common;
using namespace morvel::cli;
using namespace runtime_test;

namespace {

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        set_log_variant(LogVariant::Cli);
        std::filesystem::remove_all("/dumps");
    }
};

struct Ran {
    int ret;
    std::string out;
    bool heap;
    int grown;
};

Ran runExe(const std::string &cmd, int size = kOutBufSize, int grownInit = 7) {
    std::vector<char> buf(static_cast<size_t>(size), 'Z');
    char *out = nullptr;
    int grown = grownInit;
    int ret = exe_cmd(cmd.c_str(), buf.data(), size, &out, &grown);
    Ran r{ret, out ? out : "", out != buf.data(), grown};
    if (r.heap) free(out);
    return r;
}

std::string seqText(int n) {
    std::string s;
    for (int i = 1; i <= n; ++i) s += std::to_string(i) + "\n";
    return s;
}

// pid of the shell a command wrote to /tmp/pg; kill(-pgid, 0) tells whether its group lives
bool groupAlive() {
    pid_t pg = std::stoi(slurp("/tmp/pg"));
    return kill(-pg, 0) == 0 || errno != ESRCH;
}

// Processes (not zombies) whose command line holds the word.
int livingWith(const std::string &word) {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        std::string pid = e.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string cmdline = slurp(("/proc/" + pid + "/cmdline").c_str());
        std::string stat = slurp(("/proc/" + pid + "/stat").c_str());
        size_t close = stat.rfind(')');
        if (cmdline.find(word) != std::string::npos && close != std::string::npos && stat[close + 2] != 'Z') ++n;
    }
    return n;
}

TEST_F(RunnerTest, CleaningAppliesToExeCmdOnly) {
    EXPECT_EQ(runExe("echo a; echo b").out, "a% echo b\n");
    EXPECT_EQ(runExe("echo x=y<z").out, "x%y%z\n");
    EXPECT_EQ(runExe("printf 'ab\\ncd\\n'").out, "ab\ncd\n");

    char buf[64];
    char *out = nullptr;
    int state = 5;
    EXPECT_EQ(exe_cmd_nonblocking("echo a; echo b", buf, sizeof buf, &out, &state), 0);
    EXPECT_EQ(state, 0);
    EXPECT_STREQ(out, "a\nb\n");
    EXPECT_EQ(exe_cmd_monitor("echo a; echo b", buf, sizeof buf, &out), 0);
    EXPECT_STREQ(out, "a\nb\n");
}

TEST_F(RunnerTest, NonZeroExitThroughRunnersAndWrappers) {
    const char *cmd = "echo line && exit 3";
    Ran r = runExe(cmd);
    EXPECT_EQ(r.ret, 3);
    EXPECT_EQ(r.out, "line\n");
    EXPECT_EQ(r.grown, 7);  // left alone: output in the caller's buffer
    EXPECT_EQ(exeLiunxTaskCmd(cmd), &EC_ok);
    EXPECT_EQ(exeLiunxTaskCmdStrict(cmd), &EC_exe_cmd_failed);
    EXPECT_EQ(exeLiunxTaskCmdStrict("true"), &EC_ok);
    char outBuf[32] = "untouched";
    EXPECT_EQ(exeLiunxInfoCmd(cmd, outBuf, sizeof outBuf), &EC_exe_cmd_failed);
    EXPECT_STREQ(outBuf, "line\n");
    EXPECT_EQ(exeLiunxInfoCmd("echo fine", outBuf, sizeof outBuf), &EC_info_ok);
    EXPECT_STREQ(outBuf, "fine\n");
    EXPECT_EQ(exeLiunxInfoCmd_nonblocking("echo part; exit 3", outBuf, sizeof outBuf), &EC_exe_cmd_failed);
    EXPECT_STREQ(outBuf, "part\n");
    char mbuf[16];
    char *mout = nullptr;
    EXPECT_EQ(exe_cmd_monitor(cmd, mbuf, sizeof mbuf, &mout), -1);

    // a command killed by a signal is a failure, not a success
    EXPECT_EQ(runExe("kill -9 $$").ret, 137);
    EXPECT_EQ(exeLiunxTaskCmdStrict("kill -9 $$"), &EC_exe_cmd_failed);

    std::string log = slurp(kCliLog);
    EXPECT_NE(log.find("ERROR common/comm_util exe_cmd "), std::string::npos);
    EXPECT_NE(log.find("Execute command [echo line && exit 3 2>&1] failed, exit code [3]\n"), std::string::npos);
    EXPECT_NE(log.find("Error message: line\n"), std::string::npos);
    EXPECT_NE(log.find("ERROR cli/cli_exe exeLiunxInfoCmd "), std::string::npos);
    EXPECT_NE(log.find("Command [echo line && exit 3] failed, exitcode:[3]\n"), std::string::npos);
    EXPECT_NE(log.find("DEBUG common/comm_util exe_cmd "), std::string::npos);
    EXPECT_NE(log.find("Execute command [true 2>&1] successfully.\n"), std::string::npos);
}

TEST_F(RunnerTest, OutputGrowsOutOfTheCallersBuffer) {
    // capacity 10: ten characters stay, eleven move to 20480 + 10 + 1 bytes
    Ran fits = runExe("printf 0123456789", 11, 0);
    EXPECT_EQ(fits.out, "0123456789");
    EXPECT_FALSE(fits.heap);
    EXPECT_EQ(fits.grown, 0);

    std::vector<char> buf(11);
    char *out = nullptr;
    int grown = 0;
    ASSERT_EQ(exe_cmd("printf 01234567890", buf.data(), 11, &out, &grown), 0);
    ASSERT_NE(out, buf.data());
    EXPECT_EQ(grown, 1);
    EXPECT_STREQ(out, "01234567890");
    EXPECT_GE(malloc_usable_size(out), 20491u);
    free(out);

    // several growths past 2 MiB, output intact; a failed command hands its heap buffer too
    const std::string big = seqText(500000);
    Ran r = runExe("seq 1 500000");
    EXPECT_TRUE(r.heap);
    EXPECT_EQ(r.grown, 1);
    EXPECT_TRUE(r.out == big);
    Ran bad = runExe("seq 1 500000 && exit 4");
    EXPECT_EQ(bad.ret, 4);
    EXPECT_EQ(bad.grown, 1);
    EXPECT_TRUE(bad.out == big);

    char small[8];
    EXPECT_EQ(exeLiunxInfoCmd("seq 1 500000", small, sizeof small), &EC_info_ok);
    EXPECT_STREQ(small, "1\n2\n3\n4");
    EXPECT_EQ(exeLiunxInfoCmd_nonblocking("seq 1 500000", small, sizeof small), &EC_info_ok);
    EXPECT_STREQ(small, "1\n2\n3\n4");

    std::vector<char> mbuf(100);
    ASSERT_EQ(exe_cmd_monitor("seq 1 20000", mbuf.data(), 100, &out), 1);
    EXPECT_TRUE(std::string(out) == seqText(20000));
    free(out);
}

// What a command writes reaches no reader raw: a NUL byte does not end the text, control
// bytes become '?', and lines stay lines. The command runs with the fixed PATH and without
// the caller's BASH_ENV.
TEST_F(RunnerTest, OutputIsMadeHarmlessAndTheEnvironmentClean) {
    EXPECT_EQ(runExe("printf 'a\\000b\\033[31mc\\302\\233d\\n\\tz\\n'").out, "a?b?[31mc??d\n\tz\n");
    morvel::testfiles::writeFile("/tmp/env-file", "echo planted\n");
    setenv("BASH_ENV", "/tmp/env-file", 1);
    setenv("PATH", "/tmp/nowhere", 1);
    std::vector<char> buf(256);
    char *out = nullptr;
    ASSERT_EQ(exe_cmd_monitor("bash -c 'echo $PATH'", buf.data(), 256, &out), 0);
    EXPECT_EQ(std::string(out), std::string(kChildPath) + "\n");
    unsetenv("BASH_ENV");
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);

    auto env = childEnvironment(std::vector<char *>{const_cast<char *>("A=1"), const_cast<char *>("IFS=x"),
                                                    const_cast<char *>("BASH_FUNC_f%%=() { :; }"),
                                                    const_cast<char *>("TMPDIR=/x"), nullptr}.data());
    EXPECT_EQ(env, (std::vector<std::string>{"A=1", std::string("PATH=") + kChildPath}));
    struct {
        const char *cmd;
        int seconds;
    } deadlines[] = {{"multipath -ll", 60},
                     {"multipath -f mpatha", 120},
                     {"bash /usr/bin/morvel-script/g2morvelscan.sh -s", 600},
                     {"bash /usr/bin/morvel-script/policy.sh -g multibus", 180},
                     {"systemctl restart multipathd", 120},
                     {"cat /sys/block/sda/device/state", 60}};
    for (const auto &d : deadlines) EXPECT_EQ(commandDeadlineMs(d.cmd), d.seconds * 1000) << d.cmd;
}

// A child that a command left behind is reaped once it ends (no zombie per monitor cycle);
// a stop signal that comes while a command runs kills the command's group, then ends us.
TEST_F(RunnerTest, LeftoversAreReapedAndStopSignalsEndTheCommandFirst) {
    std::vector<char> buf(64);
    char *out = nullptr;
    ASSERT_EQ(exe_cmd_monitor("(sleep 0.2 &) ; echo started", buf.data(), 64, &out), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_EQ(exe_cmd_monitor("true", buf.data(), 64, &out), 0);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child at all, zombie or not
    EXPECT_EQ(errno, ECHILD);

    std::filesystem::remove("/tmp/pg");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char> b(64);
        char *o = nullptr;
        exe_cmd("echo $$ >/tmp/pg && sleep 30", b.data(), 64, &o, nullptr);
        _exit(0);
    }
    for (int i = 0; i < 400 && slurp("/tmp/pg").empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(slurp("/tmp/pg").empty());
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
    EXPECT_FALSE(groupAlive());
}

TEST_F(RunnerTest, OverlongCommandLineIsRefused) {
    // "echo " + n letters + " 2>&1": 1023 characters run, 1024 do not
    Ran ok = runExe("echo " + std::string(1013, 'a'));
    EXPECT_EQ(ok.ret, 0);
    EXPECT_EQ(ok.out, std::string(1013, 'a') + "\n");
    const std::string tooLong = "echo " + std::string(1014, 'a');
    Ran no = runExe(tooLong);
    EXPECT_EQ(no.ret, -1);
    EXPECT_FALSE(no.heap);
    EXPECT_EQ(exeLiunxTaskCmd(tooLong.c_str()), &EC_exe_cmd_failed);
    EXPECT_NE(slurp(kCliLog).find("is too long (1024 characters), it is not executed."), std::string::npos);

    // morvel_monitor's runner refuses it too, instead of running the first 1023 characters
    std::vector<char> buf(4096);
    char *out = nullptr;
    ASSERT_EQ(exe_cmd_monitor(("echo " + std::string(1013, 'a')).c_str(), buf.data(), 4096, &out), 0);
    EXPECT_EQ(std::string(out), std::string(1013, 'a') + "\n");
    EXPECT_EQ(exe_cmd_monitor(tooLong.c_str(), buf.data(), 4096, &out), -1);
    EXPECT_EQ(out, buf.data());
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(RunnerTest, OutOfMemoryFreesAndReportsMinusTwo) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char> buf(kOutBufSize);
        long vm = 0;
        for (const auto &l : linesOf("/proc/self/status"))
            if (l.rfind("VmSize:", 0) == 0) vm = std::stol(l.substr(7)) * 1024;
        struct rlimit lim{static_cast<rlim_t>(vm + (16 << 20)), static_cast<rlim_t>(vm + (16 << 20))};
        setrlimit(RLIMIT_AS, &lim);
        char *out = nullptr;
        int grown = 9;
        int ret = exe_cmd("yes aaaaaaaaaaaaaaaaaaaaaaaa | head -c 268435456", buf.data(), kOutBufSize, &out, &grown);
        _exit(ret == -2 && out == buf.data() && grown == 9 ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_NE(slurp(kCliLog).find("byte space failed.\n"), std::string::npos);
}
#endif

void sentinel(int) {}

// The 5-second deadline: the command and everything it started are gone afterwards, and
// the caller's SIGALRM handler and interval timer are exactly as before.
TEST_F(RunnerTest, TimeoutKillsTheGroupAndLeavesAlarmAlone) {
    struct sigaction mine{};
    mine.sa_handler = sentinel;
    mine.sa_flags = SA_RESTART;
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &mine, nullptr), 0);
    struct itimerval timer{{50, 0}, {100, 0}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    char outBuf[64] = "untouched";
    auto t0 = std::chrono::steady_clock::now();
    EcItem *res = exeLiunxInfoCmd_nonblocking("echo $$ >/tmp/pg; sleep 30 & sleep 30", outBuf, sizeof outBuf);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(res, &EC_exe_cmd_timeout);
    EXPECT_GE(secs, 4.5);
    EXPECT_LT(secs, 10.0);
    EXPECT_FALSE(groupAlive());

    struct sigaction now{};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &sentinel);
    EXPECT_EQ(now.sa_flags & SA_RESTART, SA_RESTART);
    struct itimerval left{};
    getitimer(ITIMER_REAL, &left);
    EXPECT_EQ(left.it_interval.tv_sec, 50);
    EXPECT_GE(left.it_value.tv_sec, 100 - static_cast<long>(secs) - 2);
    EXPECT_LE(left.it_value.tv_sec, 100);
    struct itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);

    EXPECT_NE(slurp(kCliLog).find("Execute command [echo $$ >/tmp/pg; sleep 30 & sleep 30] timeout\n"),
              std::string::npos);
}

TEST_F(RunnerTest, DeadlineCoversClosedOutputAndPartialHeapOutput) {
    std::vector<char> buf(64);
    char *out = nullptr;
    int state = 0;
    // output closed, shell still running
    EXPECT_EQ(exe_cmd_nonblocking("echo $$ >/tmp/pg; exec >/dev/null; sleep 30", buf.data(), 64, &out, &state, 300), -9);
    EXPECT_EQ(state, -9);
    EXPECT_EQ(out, buf.data());
    EXPECT_FALSE(groupAlive());
    // output already moved to a heap buffer when the deadline hits (freed by the runner)
    EXPECT_EQ(exe_cmd_nonblocking("echo $$ >/tmp/pg; seq 1 10000; sleep 30", buf.data(), 64, &out, &state, 300), -9);
    EXPECT_EQ(out, buf.data());
    EXPECT_FALSE(groupAlive());
    // what left the group with setsid() is killed as well
    EXPECT_EQ(exe_cmd_nonblocking("setsid sleep 37.25 & setsid sh -c 'sleep 37.25' & sleep 37.25", buf.data(), 64,
                                  &out, &state, 300),
              -9);
    EXPECT_EQ(livingWith("37.25"), 0);
    // a quick command under a deadline
    EXPECT_EQ(exe_cmd_nonblocking("echo hi", buf.data(), 64, &out, &state, 5000), 0);
    EXPECT_STREQ(out, "hi\n");
    int subreaper = -1;  // the runner's own setting is gone again
    prctl(PR_GET_CHILD_SUBREAPER, &subreaper);
    EXPECT_EQ(subreaper, 0);
}

TEST(MySignal, InstallsWithTheRightFlagsAndReturnsThePrevious) {
    struct sigaction saved{}, got{};
    sigaction(SIGUSR1, nullptr, &saved);
    signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(my_signal(SIGUSR1, sentinel), SIG_DFL);
    sigaction(SIGUSR1, nullptr, &got);
    EXPECT_EQ(got.sa_handler, &sentinel);
    EXPECT_EQ(got.sa_flags & SA_RESTART, SA_RESTART);
    EXPECT_EQ(my_signal(SIGUSR1, SIG_IGN), &sentinel);
    sigaction(SIGUSR1, &saved, nullptr);

    sigaction(SIGALRM, nullptr, &saved);
    my_signal(SIGALRM, sentinel);
    sigaction(SIGALRM, nullptr, &got);
    EXPECT_EQ(got.sa_flags & SA_RESTART, 0);  // the alarm interrupts system calls
    sigaction(SIGALRM, &saved, nullptr);

    EXPECT_EQ(my_signal(SIGKILL, sentinel), SIG_ERR);
}

}  // namespace
