// Bounded strings, text helpers and command-line cleaning.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/comm_util.h"

using namespace morvel::common;

namespace {

TEST(BoundedCopy, StrncpyWritesBoundPlusOneBytes) {
    char d[8];
    std::memset(d, 'x', sizeof d);
    vessar_strncpy(d, "abc", 2);
    EXPECT_EQ(std::string(d, 3), std::string("ab\0", 3));
    EXPECT_EQ(d[3], 'x');  // nothing beyond d[n]

    std::memset(d, 'x', sizeof d);
    vessar_strncpy(d, "abc", 5);
    EXPECT_EQ(std::memcmp(d, "abc\0\0\0", 6), 0);
    EXPECT_EQ(d[6], 'x');

    std::memset(d, 'x', sizeof d);
    vessar_strncpy(d, "abc", 0);
    EXPECT_EQ(d[0], 'x');
}

// The field helper is what every fixed-width record field is filled with.
TEST(BoundedCopy, CopyFieldAtWidthBoundaries) {
    char field[31];
    const std::string n_1(29, 'a'), n(30, 'b'), n1(31, 'c');
    copyField(field, n_1.c_str());
    EXPECT_EQ(std::string(field), n_1);
    copyField(field, n.c_str());
    EXPECT_EQ(std::string(field), n);
    copyField(field, n1.c_str());
    EXPECT_EQ(std::string(field), std::string(30, 'c'));
    EXPECT_EQ(field[30], '\0');
    copyField(field, nullptr);
    EXPECT_STREQ(field, "");

    char wide[66];
    copyField(wide, std::string(70, 'w').c_str(), 64);
    EXPECT_EQ(std::strlen(wide), 64u);
    copyField(wide, "short", 200);  // a limit above the field is clamped to it
    EXPECT_STREQ(wide, "short");
}

TEST(BoundedCopy, StrncatAlwaysTerminates) {
    char d[16] = "ab";
    vessar_strncat(d, "cdefg", 3);
    EXPECT_STREQ(d, "abcde");
    vessar_strncat(d, "", 3);
    EXPECT_STREQ(d, "abcde");
}

TEST(StringFamily, NullAndEdgeResults) {
    EXPECT_EQ(safe_strlen(nullptr), 0);
    EXPECT_EQ(safe_strlen("abc"), 3);
    EXPECT_EQ(vessar_strcspn("abc", nullptr), static_cast<size_t>(-1));
    EXPECT_EQ(vessar_strspn(nullptr, "a"), static_cast<size_t>(-1));
    EXPECT_EQ(vessar_strcspn("abc:d", ":"), 3u);
    EXPECT_EQ(vessar_strspn("  x", " "), 2u);
    const char *s = "abc";
    EXPECT_EQ(vessar_strchr(s, 0), s + 3);
    EXPECT_EQ(vessar_strstr(s, ""), s);
    EXPECT_EQ(vessar_strstr(s, "bc"), s + 1);
    EXPECT_EQ(vessar_strstr(s, "bd"), nullptr);
    EXPECT_EQ(vessar_strnlen("abcdef", 4), 4u);
    EXPECT_GT(vessar_strncmp("\xff", "a", 1), 0);  // bytes compare unsigned
    EXPECT_EQ(vessar_strncmp("abcX", "abcY", 3), 0);
}

TEST(StringFamily, StrtokKeepsPositionAndSkipsEmptyTokens) {
    char text[] = "\n\nline1\n\nline2\nline3";
    EXPECT_STREQ(vessar_strtok(text, "\n"), "line1");
    EXPECT_STREQ(vessar_strtok(nullptr, "\n"), "line2");
    EXPECT_STREQ(vessar_strtok(nullptr, "\n"), "line3");
    EXPECT_EQ(vessar_strtok(nullptr, "\n"), nullptr);
    EXPECT_EQ(vessar_strtok(nullptr, "\n"), nullptr);
}

TEST(StringFamily, ReplaceEveryOccurrence) {
    char out[64];
    vessar_strrpl(out, "XXXXXX arrays by XXXXXX.", "XXXXXX", "Keldor");
    EXPECT_STREQ(out, "Keldor arrays by Keldor.");
    vessar_strrpl(out, "none here", "XXXXXX", "Keldor");
    EXPECT_STREQ(out, "none here");
}

TEST(TextHelpers, CountingAndSearching) {
    EXPECT_EQ(numberOfString("aaa", "aa"), 2);
    EXPECT_EQ(numberOfString("fc-x fc-y", "fc-"), 2);
    EXPECT_EQ(find_str(nullptr, "a"), nullptr);
    EXPECT_EQ(find_char(nullptr, 'a'), nullptr);
    EXPECT_EQ(isBeginwith("morvel2", "morvel"), 1);
    EXPECT_EQ(isBeginwith("abc", ""), 1);
    EXPECT_EQ(isBeginwith(nullptr, "a"), 0);
    EXPECT_EQ(isEndWith("abc", "bc"), 1);
    EXPECT_EQ(isEndWith("c", "bc"), 0);
    EXPECT_EQ(isEndWith(nullptr, "c"), 0);
}

TEST(TextHelpers, NextLine) {
    char last[] = "only\n";
    EXPECT_EQ(get_next_line(last), nullptr);
    EXPECT_STREQ(last, "only");
    char two[] = "one\ntwo";
    EXPECT_EQ(get_next_line(two), two + 4);
    char none[] = "none";
    EXPECT_EQ(get_next_line(none), nullptr);
    EXPECT_EQ(get_next_line(nullptr), nullptr);
}

TEST(TextHelpers, FindNotChar) {
    EXPECT_EQ(findNotChar("  x", 0, ' '), 2);
    EXPECT_EQ(findNotChar("  x", 3, ' '), -1);
    EXPECT_EQ(findNotChar("   ", 0, ' '), -1);
    EXPECT_EQ(findNotChar("", 0, ' '), -1);
    EXPECT_EQ(findNotChar("ab", -1, ' '), -1);
    char s[] = "  x";
    EXPECT_EQ(pFindNotChar(s, 0, ' '), s + 2);
    EXPECT_EQ(pFindNotChar(s, 3, ' '), nullptr);
}

TEST(TextHelpers, FieldStarts) {
    char s[] = "  a  b ";
    char *starts[4] = {};
    EXPECT_EQ(findSubStrIndexes(s, ' ', starts, 4), 2);
    EXPECT_EQ(starts[0], s + 2);
    EXPECT_EQ(starts[1], s + 5);
    EXPECT_EQ(findSubStrIndexes(s, ' ', starts, 1), 1);
    EXPECT_EQ(starts[0], s + 2);
    EXPECT_EQ(findSubStrIndexes(nullptr, ' ', starts, 4), 0);
    EXPECT_EQ(std::string(s), "  a  b ");  // not changed
}

TEST(TextHelpers, SplitSkipsEmptyFieldsButStrsplitKeepsThem) {
    char s[] = "a,,b";
    char **fields = nullptr;
    ASSERT_EQ(splitStr(s, ',', &fields), 2);
    EXPECT_STREQ(fields[0], "a");
    EXPECT_STREQ(fields[1], "b");
    EXPECT_EQ(fields[2], nullptr);
    std::free(fields);

    size_t count = 0;
    char **pieces = strsplit_count("a,,b", ",", &count);
    ASSERT_NE(pieces, nullptr);
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(pieces[0], "a");
    EXPECT_STREQ(pieces[1], "");
    EXPECT_STREQ(pieces[2], "b");
    EXPECT_EQ(pieces[3], nullptr);
    std::free(pieces);

    // A text that ends with the delimiter gives a last, empty piece.
    pieces = strsplit_count("x\ny\n", "\n", &count);
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(pieces[2], "");
    std::free(pieces);

    char empty[] = "";
    fields = nullptr;
    EXPECT_EQ(splitStr(empty, ',', &fields), 0);
    EXPECT_EQ(fields, nullptr);
}

TEST(TextHelpers, PrintWidthPadsOrCutsAndRestores) {
    char six[] = "abcdef";
    testing::internal::CaptureStdout();
    printWidth(six, 3);
    char two[] = "ab";
    printWidth(two, 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "abcab  ");
    EXPECT_STREQ(six, "abcdef");
}

TEST(TextHelpers, RegMatch) {
    const char *dev = "^[A-Za-z][A-Za-z0-9_.-]*$";
    EXPECT_EQ(regMatch(dev, ""), 0);
    EXPECT_EQ(regMatch(dev, "my-disk.1"), 1);
    EXPECT_EQ(regMatch(dev, "1disk"), 0);
    EXPECT_EQ(regMatch(nullptr, "a"), 0);
    EXPECT_EQ(regMatch("(", "a"), 2);
    EXPECT_EQ(regMatch("[ ]+KELDOR[ ]*,(ZRN[ ]*)$", "mpatha (3600) dm-2 KELDOR  ,ZRN    "), 1);
    EXPECT_EQ(regMatch("[ ]+KELDOR[ ]*,(ZRN[ ]*)$", "mpatha (3600) dm-2 KELDOR,ZRNX"), 0);
}

TEST(Cleaning, OnlyAllowedCharactersReachTheShell) {
    const std::string allowed =
        "azAZ09 \"#$%&'()*,-./:>[]\\^_{}|";
    for (char c : allowed) EXPECT_EQ(cleanChar(c), c) << "char " << c;
    for (char c : std::string("!+;<=?@`~\t\n\x01\x7f")) EXPECT_EQ(cleanChar(c), '%') << int(c);
    EXPECT_EQ(cleanChar(static_cast<char>(0xC3)), '%');

    char dst[64] = {};
    cleanString(dst, "echo a; echo b");
    EXPECT_STREQ(dst, "echo a% echo b");
    char dst2[64] = {};
    cleanString(dst2, "a=b<c");
    EXPECT_STREQ(dst2, "a%b%c");
    EXPECT_EQ(cleanString(dst2, nullptr), nullptr);
    EXPECT_EQ(is_cmd_inject_char(";", ';'), 0);
    EXPECT_EQ(is_cmd_inject_char(";", 'a'), -1);
}

TEST(Cleaning, EscapeSemicolons) {
    char dst[64] = {};
    escapeString(dst, "a;b;;c");
    EXPECT_STREQ(dst, "a\\;b\\;\\;c");
    EXPECT_EQ(escapeString(dst, nullptr), nullptr);
    char dst2[8] = {};
    str_addchar(dst2, 'x');
    str_addchar(dst2, 'y');
    EXPECT_STREQ(dst2, "xy");
}

}  // namespace
