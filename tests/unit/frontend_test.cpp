// Entry of morvel: command table, list, help display, dispatch and cliMain's steps.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_exe.h"
#include "cli/cli_tags.h"
#include "unit/test_files.h"

using namespace morvel::cli;
namespace fs = std::filesystem;

namespace {

const std::string kFrame = std::string(130, '-') + "\n";
const char kHelpDir[] = "/usr/bin/morvel-help";

std::string framed(const std::string &line) { return kFrame + line + "\n" + kFrame; }

const char *const kListed[] = {"aggregation", "config", "delalias", "delete", "lsalias", "lspathpolicy",
                               "query", "restart", "scan", "setalias", "setstate", "setpathpolicy",
                               "start", "status", "stop", "version", "port"};

struct MainRun {
    int rc;
    std::string out;
};

// Runs cliMain with the given program name and words, capturing standard output.
MainRun runMain(const std::string &program, std::initializer_list<std::string> words) {
    std::vector<std::string> all{program};
    all.insert(all.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &w : all) argv.push_back(w.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int rc = cliMain(static_cast<int>(all.size()), argv.data());
    std::fflush(stdout);
    return {rc, testing::internal::GetCapturedStdout()};
}

// cliMain run as "morvel WORDS..." gives this exit status and this output.
void expectMain(std::initializer_list<std::string> words, int rc, const std::string &out) {
    MainRun r = runMain("morvel", words);
    EXPECT_EQ(r.rc, rc) << *words.begin();
    EXPECT_EQ(r.out, out) << *words.begin();
}

// The help folder lives in the throw-away root of the test sandbox.
class HelpFiles : public testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(kHelpDir);
        fs::create_directories(kHelpDir);
    }
    void TearDown() override { fs::remove_all(kHelpDir); }
    static void put(const std::string &name, const std::string &text) {
        std::ofstream(std::string(kHelpDir) + "/" + name + ".help", std::ios::binary) << text;
    }
};

}  // namespace

TEST(CommandTable, ListShowsTheSeventeenNamesInOrder) {
    std::string expected;
    for (const char *n : kListed) expected += std::string(n) + "\n";
    testing::internal::CaptureStdout();
    print_cli_list();
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(CLI_NAMES[kCliNameSlots - 1][0], '\0');
}

namespace {

// The words of the first assignment NAME="..." in a shell file.
std::vector<std::string> shellWords(const std::string &text, const std::string &name) {
    const std::string key = name + "=\"";
    size_t at = text.find(key);
    while (at != std::string::npos && (at == 0 || !std::isspace(static_cast<unsigned char>(text[at - 1]))))
        at = text.find(key, at + 1);
    if (at == std::string::npos) return {};
    at += key.size();
    std::istringstream in(text.substr(at, text.find('"', at) - at));
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace

// A command missing from the bash completion or without its help file fails here.
TEST(CommandTable, CompletionAndHelpFilesFollowTheTable) {
    const fs::path src = fs::path(__FILE__).parent_path().parent_path().parent_path();
    const std::string completion = morvel::testfiles::readFile(src / "packaging/bash-completion/morvel.in");
    std::vector<std::string> rows;
    for (const CommandRow &row : kCommandTable) rows.push_back(row.name);
    std::set<std::string> helps;
    for (const auto &e : fs::directory_iterator(src / "help")) helps.insert(e.path().stem());
    helps.erase("morvel");
    EXPECT_EQ(helps, std::set<std::string>(rows.begin(), rows.end()));
    EXPECT_EQ(shellWords(completion, "commands"), rows);
}

TEST(CommandTable, NameCheck) {
    for (const char *n : kListed) EXPECT_EQ(checkCliNames(n), &EC_ok) << n;
    EXPECT_EQ(checkCliNames("refresh"), &EC_ok);
    for (const char *bad : {"frob", "quer", "queryx", "Query", "", "-wwid"}) {
        EXPECT_EQ(checkCliNames(bad), &EC_invalid_cli_name) << bad;
        EXPECT_STREQ(EC_invalid_cli_name.param1, bad);
    }
}

TEST(Dispatch, UnknownNameIsRefusedByName) {
    char prog[] = "morvel", name[] = "frob";
    char *argv[] = {prog, name, nullptr};
    EXPECT_EQ(exeCli(2, argv), &EC_invalid_cli_name);
    EXPECT_STREQ(EC_invalid_cli_name.param1, "frob");
}

TEST(Entry, ProgramNameAndMissingCommand) {
    const std::string invalidInput = framed("Error(0101): Invalid input.");
    MainRun r = runMain("/usr/bin/morvel", {});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, invalidInput);

    r = runMain("/usr/local/bin/xmorvel", {"-list_command"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, invalidInput);
    // Only the last component counts.
    r = runMain("/opt/morvel/bin/tool", {"-list_command"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, invalidInput);

    r = runMain("./morvel2", {"-list_command"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.substr(0, 12), "aggregation\n");
}

TEST(Entry, ListRequestTakesAnyEnding) {
    MainRun r = runMain("morvel", {"-list_commandx", "more"});
    EXPECT_EQ(r.rc, 0);
    std::string expected;
    for (const char *n : kListed) expected += std::string(n) + "\n";
    EXPECT_EQ(r.out, expected);
}

TEST(Entry, UnknownCommandIsRefusedBeforeItsHelp) {
    expectMain({"frob", "-h"}, 1, framed("Error(0102): Invalid command name [frob]."));
}

TEST(Entry, ParameterFailureEndsTheRun) {
    expectMain({"version", "foo"}, 1, framed("Error(0105): Invalid command parameter [foo]."));
    expectMain({"delete"}, 1, framed("Error(0106): Missing deleted multipath."));
    expectMain({"delalias", "-wwid", "3;reboot"}, 1, framed("Error(0125): Wrong length of parameter [-wwid] value."));
}

TEST_F(HelpFiles, GeneralHelpForAnyWordBeginningWithH) {
    put("morvel", "general XXXXXX help\n");
    for (const char *w : {"-h", "-help", "-hx"}) {
        expectMain({w, "ignored"}, 0, kFrame + "general Keldor help\n" + kFrame);
    }
}

TEST_F(HelpFiles, CommandHelpIgnoresFurtherWords) {
    put("query", "Usage: morvel query\nXXXXXX arrays, XXXXXX LUNs\n");
    expectMain({"query", "-h", "1disk;x"}, 0, kFrame + "Usage: morvel query\nKeldor arrays, Keldor LUNs\n" + kFrame);
    expectMain({"refresh", "-hello"}, 0, framed("Error(0001): No help avaliable for [refresh]."));
}

TEST_F(HelpFiles, MissingHelpFileIsReportedButSucceeds) {
    expectMain({"query", "-h"}, 0, framed("Error(0001): No help avaliable for [query]."));
    expectMain({"-h"}, 0, framed("Error(0001): No help avaliable for [morvel]."));
}

TEST_F(HelpFiles, TextIsShownAsStored) {
    // No newline is added after a text that lacks one; bytes outside the command-line
    // character set pass unchanged.
    put("status", "line one;\ttab <x> =y= XXXXX XXXXXXX");
    testing::internal::CaptureStdout();
    print_help("status");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              kFrame + "line one;\ttab <x> =y= XXXXX KeldorX" + kFrame);
}

TEST_F(HelpFiles, FailingCatStillShowsWhatItPrinted) {
    fs::create_directories(std::string(kHelpDir) + "/stop.help");
    testing::internal::CaptureStdout();
    print_help("stop");
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GE(out.size(), 2 * kFrame.size());
    EXPECT_EQ(out.substr(0, kFrame.size()), kFrame);
    EXPECT_EQ(out.substr(out.size() - kFrame.size()), kFrame);
    EXPECT_NE(out.find("Is a directory"), std::string::npos);
}

TEST_F(HelpFiles, TextLargerThanTheCaptureBufferIsShownWhole) {
    std::string line = "XXXXXX " + std::string(72, 'h') + "\n";  // 80 bytes
    std::string text, expected;
    for (int i = 0; i < 40000; ++i) text += line;  // 3.2 MB
    expected = text;
    for (size_t p = 0; (p = expected.find("XXXXXX", p)) != std::string::npos; p += 6)
        expected.replace(p, 6, "Keldor");
    put("version", text);
    testing::internal::CaptureStdout();
    print_help("version");
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.size(), expected.size() + 2 * kFrame.size());
    EXPECT_TRUE(out == kFrame + expected + kFrame);
}

TEST(Dispatch, ScanAnnouncesTheWaitFirst) {
    char prog[] = "morvel", name[] = "scan";
    char *argv[] = {prog, name, nullptr};
    testing::internal::CaptureStdout();
    exeCli(2, argv);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("This operation may take several minutes, please wait patiently.\n", 0), 0u);
}
