// The lsalias table built from an alias.sh listing.
#include <gtest/gtest.h>

#include <string>

#include "cli/cmd_mgmt.h"

using namespace morvel::cli;

namespace {

const std::string kW1 = "36001405" + std::string(25, 'a');  // 33 characters
const std::string kW2 = "36001405" + std::string(25, 'b');

TEST(AliasTable, ColumnsFollowTheLongestCells) {
    const std::string table = formatAliasTable((kW1 + " dbdata\n" + kW2 + " log\n").c_str());
    const std::string header = "wwid" + std::string(30, ' ') + "alias" + std::string(29, ' ') + "\n";
    EXPECT_EQ(table, header + kW1 + " dbdata\n" + kW2 + " log   \n");
}

TEST(AliasTable, ShortCellsKeepTheHeaderWidths) {
    EXPECT_EQ(formatAliasTable("w a\n"), "wwid alias\nw    a    \n");
    // a longer alias widens only the alias column of the rows
    EXPECT_EQ(formatAliasTable("w a_very_long_alias\nx b\n"),
              "wwid alias\nw    a_very_long_alias\nx    b                \n");
    // a longer WWID widens the header's alias cell with it
    EXPECT_EQ(formatAliasTable("eui.123 a\n"), "wwid    alias   \neui.123 a    \n");
}

TEST(AliasTable, ListingEndsAtAnEmptyLineOrWhereNoBlankFollows) {
    EXPECT_EQ(formatAliasTable("w a\n\nx b\n"), "wwid alias\nw    a    \n");
    EXPECT_EQ(formatAliasTable("noblank\nnone\n"), "wwid alias\n");
    EXPECT_EQ(formatAliasTable("w a\ntail"), "wwid alias\nw    a    \n");
    EXPECT_EQ(formatAliasTable("w a"), "wwid alias\nw    a    \n");  // no final line feed
    EXPECT_EQ(formatAliasTable(""), "wwid alias\n");
}

TEST(AliasTable, BlankSearchRunsAcrossALineWithoutOne) {
    // the first cell of the row then spans the line end
    EXPECT_EQ(formatAliasTable("abc\nd e\n"), "wwid  alias \nabc\nd e    \n");
}

}  // namespace
