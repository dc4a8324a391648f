// Template processor: tokens, repeat blocks and resume offsets, long lines, template look-up and
// byte-exact output, rendered from real files in a scratch mall root. Every test runs twice: read
// from the disk, and from the host's memory of the root, which must give the same pages.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "shell/filecache.h"
#include "template/cparse.h"
#include "template/stable.h"

namespace {

std::vector<std::string> pieces;

void Collect(const char *text) { pieces.emplace_back(text); }

std::string Page() {
    std::string page;
    for (const std::string &piece : pieces) page += piece;
    return page;
}

// Takes what was emitted since the last call.
std::string Take() {
    std::string page = Page();
    pieces.clear();
    return page;
}

class CParseTemplate : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        char scratch[] = "/tmp/cparse_test_XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        root = scratch;
        saved = std::filesystem::current_path();
        std::filesystem::current_path(root);
        pieces.clear();
        if (GetParam()) {
            ASSERT_TRUE(EnableFileCache());
        }
    }
    void TearDown() override {
        DisableFileCache();
        std::filesystem::current_path(saved);
        std::filesystem::remove_all(root);
    }
    static void Write(const std::string &path, const std::string &content) {
        std::filesystem::path file(path);
        if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
        RefreshFileCache();  // as the host does at the start of the next request
    }

    std::filesystem::path root, saved;
    STable table;
};

TEST_P(CParseTemplate, TokensAtLineStartsMiddlesAndEnds) {
    Write("t.htm", "_A_ starts\nmiddle _A_ and _B_\nends _B_\n_A__B_");
    table.Set("A", "1");
    table.Set("b", "2");
    RunScript("t.htm", &table, nullptr, Collect);
    EXPECT_EQ(Page(), "1 starts\nmiddle 1 and 2\nends 2\n12");
}

TEST_P(CParseTemplate, UnknownNamesAndUnderscores) {
    Write("t.htm",
          "x_a_b_\n"          // the unknown token's closing '_' opens the next one
          "<_NOPE_>\n"        // an unknown token stays as written
          "snake__case\n"     // a doubled underscore is one
          "lone_ one\n"       // no partner: left alone
          "_a__b_\n");        // unknown "a", then "__", then "b_" has no partner
    table.Set("b", "B");
    RunScript("t.htm", &table, nullptr, Collect);
    EXPECT_EQ(Page(), "x_aB\n<_NOPE_>\nsnake_case\nlone_ one\n_a_b_\n");
}

TEST_P(CParseTemplate, TablesFirstThenSecondAndNoneCopiesUnchanged) {
    Write("t.htm", "_A_ _B_ _C_ a__b\n");
    STable second;
    table.Set("A", "1");
    second.Set("A", "9");
    second.Set("B", "2");

    CParse both("t.htm", nullptr, nullptr, Collect);
    both.SetTables(&table, &second);
    both.Parse();
    EXPECT_EQ(Take(), "1 2 _C_ a_b\n");

    RunScript("t.htm", nullptr, nullptr, Collect);
    EXPECT_EQ(Take(), "_A_ _B_ _C_ a__b\n");
}

TEST_P(CParseTemplate, InsertedValuesAreNotScannedAgain) {
    Write("t.htm", "[_V_] _STOREID_\n###<_V_>###\n");
    table.Set("V", "_STOREID_ ### __ _");
    table.Set("STOREID", "acme");
    CParse parse("t.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(Take(), "[_STOREID_ ### __ _] acme\n");
    parse.Repeat();
    EXPECT_EQ(Take(), "<_STOREID_ ### __ _>");
}

TEST_P(CParseTemplate, ListPageParseRepeatParse) {
    // CR LF line ends: the resume offsets must be file offsets, and the bytes pass unchanged.
    Write("list.htm",
          "<h1>_TITLE_</h1>\r\n"
          "<ul>###<li>_N_: _NAME_</li>\r\n"
          "###</ul>\r\n"
          "<p>_C1_<a>next</a>_C2_ last=_N_</p>\r\n");
    CParse parse("list.htm", nullptr, nullptr, Collect);
    parse.SetTables(&table, nullptr);
    table.Set("TITLE", "Stores");
    table.Set("N", "none");
    parse.Parse();
    EXPECT_EQ(parse.State(), CParse::AtRepeat);
    EXPECT_EQ(Take(), "<h1>Stores</h1>\r\n<ul>");

    const char *names[] = {"Acme", "Bolt", "Cog"};
    for (int row = 0; row < 3; ++row) {
        table.SetLong("N", row + 1);
        table.Set("NAME", names[row]);
        parse.Repeat();
    }
    EXPECT_EQ(Take(), "<li>1: Acme</li>\r\n<li>2: Bolt</li>\r\n<li>3: Cog</li>\r\n");

    // Entries set after the rows apply to the text behind the block.
    table.Set("C1", "<!--");
    table.Set("C2", "-->");
    parse.Parse();
    EXPECT_EQ(parse.State(), CParse::Reading);
    EXPECT_EQ(Take(), "</ul>\r\n<p><!--<a>next</a>--> last=3</p>\r\n");

    parse.Parse(); // at the end: nothing more
    EXPECT_EQ(Take(), "");
}

// A row's value replaces the last one in place when it fits: a shorter or an empty value must
// end where it ends, and a longer one must come whole, whatever the row before it held.
TEST_P(CParseTemplate, RowValuesThatGrowAndShrinkComeOutWhole) {
    Write("rows.htm", "###[_v_|_W_]###\n");
    CParse parse("rows.htm", &table, nullptr, Collect);
    parse.Parse();
    std::string want;
    int slot = -1;
    for (const char *value : {"12345", "7", "", "a much longer value than any before", "xy", ""}) {
        table.Set("V", value);  // by name, and the other by the slot a page keeps
        if (slot < 0)
            slot = table.Set("w", value);
        else
            table.SetAt(slot, value);
        parse.Repeat();
        want += std::string("[") + value + "|" + value + "]";
    }
    EXPECT_EQ(Take(), want);
}

TEST_P(CParseTemplate, BlocksWithoutRowsAndSeveralBlocksOnOneLine) {
    Write("t.htm", "###first _N_###a###X_N_###b###Y_N_###c\n");
    table.Set("N", "0");
    CParse parse("t.htm", &table, nullptr, Collect);
    parse.Parse(); // the first block opens at the file's first byte
    // The empty text in front of it still reaches the output: the page has begun.
    EXPECT_EQ(pieces, std::vector<std::string>{""});
    pieces.clear();
    parse.Parse(); // no row for the first block
    EXPECT_EQ(Take(), "a");
    parse.Parse(); // nor for the second
    EXPECT_EQ(Take(), "b");
    table.Set("N", "1");
    parse.Repeat();
    table.Set("N", "2");
    parse.Repeat();
    EXPECT_EQ(Take(), "Y1Y2");
    parse.Parse();
    EXPECT_EQ(Take(), "c\n");
    parse.Repeat(); // the last block is still held
    EXPECT_EQ(Take(), "Y2");
}

TEST_P(CParseTemplate, FourHashesOpenAndClose) {
    Write("t.htm", "a####b####c\n");
    CParse parse("t.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(Take(), "a");
    parse.Repeat();
    EXPECT_EQ(Take(), "#b");
    parse.Parse();
    EXPECT_EQ(Take(), "#c\n");
}

TEST_P(CParseTemplate, UnclosedBlockEndsThePageInFrontOfItsPiece) {
    Write("t.htm", "before\nkept? ###never closed\nrest\n");
    CParse parse("t.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(parse.State(), CParse::Stopped);
    parse.Repeat();
    parse.Parse();
    EXPECT_EQ(Page(), "before\n");
}

TEST_P(CParseTemplate, ClosingMarkerMustLieWithinTheWindow) {
    // 4092 bytes of block fit; the block also expands past the line buffer and must arrive
    // whole, in order.
    std::string fits(4092, 'x');
    fits[0] = 'a';
    fits[4091] = 'z';
    Write("fits.htm", "head###" + fits + "###tail\n");
    CParse parse("fits.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(Take(), "head");
    parse.Repeat();
    EXPECT_EQ(Take(), fits);
    parse.Parse();
    EXPECT_EQ(Take(), "tail\n");

    Write("long.htm", "head###" + std::string(4093, 'x') + "###tail\n");
    CParse stopped("long.htm", &table, nullptr, Collect);
    stopped.Parse();
    EXPECT_EQ(stopped.State(), CParse::Stopped);
    stopped.Repeat();
    stopped.Parse();
    EXPECT_EQ(Page(), "");
}

// A line longer than a piece is read in pieces, and "###" counts only inside one piece: split
// over two it is page text. The markers behind it still open and close their block.
TEST_P(CParseTemplate, AMarkerSplitOverTwoPiecesOfALongLineIsText) {
    const std::string split = std::string(253, 'a') + "###b _N_\n";  // bytes 253 to 255
    const std::string inside = std::string(300, 'c') + "###d\n";      // in the second piece
    Write("split.htm", split + inside + "[_N_]###\ne\n");
    table.Set("N", "7");
    CParse parse("split.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(parse.State(), CParse::AtRepeat);
    EXPECT_EQ(Take(), std::string(253, 'a') + "###b 7\n" + std::string(300, 'c'));
    parse.Repeat();
    EXPECT_EQ(Take(), "d\n[7]");
    parse.Parse();
    EXPECT_EQ(Take(), "\ne\n");
}

TEST_P(CParseTemplate, LongLinesArriveInPiecesAndATokenAcrossABoundaryStays) {
    // Pieces are 255 bytes: "_A_" at bytes 253 to 255 is split, the one further on is not.
    std::string line = std::string(253, 'p') + "_A_" + std::string(100, 'q') + "_A_" + "\n";
    Write("t.htm", line + "_A_\n");
    table.Set("A", "1");
    RunScript("t.htm", &table, nullptr, Collect);
    EXPECT_EQ(Page(), std::string(253, 'p') + "_A_" + std::string(100, 'q') + "1\n1\n");
}

TEST_P(CParseTemplate, ExpansionPastTheLineBufferIsNeitherCutNorOverflowed) {
    std::string big(3000, 'v');
    big.back() = 'w';
    std::string many;
    for (int i = 0; i < 120; ++i) many += "_M_";
    Write("t.htm", "<_BIG_>\n" + many + "\n###[_BIG_]###\n");
    table.Set("BIG", big.c_str());
    table.Set("M", std::string(40, 'm').c_str());
    CParse parse("t.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(Take(), "<" + big + ">\n" + std::string(120 * 40, 'm') + "\n");
    parse.Repeat();
    EXPECT_EQ(Take(), "[" + big + "]");
}

TEST_P(CParseTemplate, MissingTemplateSaysWhichPathWasTriedLast) {
    CParse parse("swstinfo.htm", &table, "kvzsvw\\", Collect, "ACME");
    EXPECT_EQ(parse.State(), CParse::Closed);
    parse.Parse();
    parse.Repeat();
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], "Unable to open script: ");
    EXPECT_EQ(pieces[1], "kvzsvw\\swstinfo.htm");
    pieces.clear();

    RunScript("logon.htm", &table, nullptr, Collect);
    EXPECT_EQ(Page(), "Unable to open script: logon.htm");
}

TEST_P(CParseTemplate, StoreCopyFirstThenTheSharedOneIgnoringCase) {
    Write("KVZSVW/Acme/SWSTINFO.HTM", "store _X_\n");
    Write("KVZSVW/swstinfo.htm", "shared _X_\n");
    table.Set("X", "x");
    { CParse parse("swstinfo.htm", &table, "kvzsvw\\", Collect, "ACME"); parse.Parse(); }
    EXPECT_EQ(Take(), "store x\n");
    { CParse parse("swstinfo.htm", &table, "kvzsvw\\", Collect, "BOLT"); parse.Parse(); }
    EXPECT_EQ(Take(), "shared x\n");
    { CParse parse("swstinfo.htm", &table, "kvzsvw\\", Collect); parse.Parse(); }
    EXPECT_EQ(Take(), "shared x\n");
}

TEST_P(CParseTemplate, SubdirectoryThatCouldLeaveTheTemplatesIsNotUsed) {
    Write("kvzsvw/page.htm", "shared\n");
    Write("page.htm", "escaped\n");
    Write("kvzsvw/a/b/page.htm", "nested\n");
    Write("kvzsvw/a/page.htm", "store a\n");
    const std::string too_long(300, 'a');
    const char *subdirectories[] = {"..", "..\\..", "a\\..\\..", "a/b",
                                    "a\\b", "", too_long.c_str()};
    for (const char *subdirectory : subdirectories) {
        CParse parse("page.htm", &table, "kvzsvw\\", Collect, subdirectory);
        parse.Parse();
        EXPECT_EQ(Take(), "shared\n") << "subdirectory " << subdirectory;
    }
}

TEST_P(CParseTemplate, BytesPassUnchanged) {
    const std::string text = "Gr\xc3\xbc\xc3\x9f" "e \xe2\x80\x93 \xe6\x97\xa5\xe6\x9c\xac _A_\r\n"
                             "lone \r cr, high \xff\x80\xfe\r\n";
    Write("t.htm", text + "###_A_\r\n###end\r\n");
    table.Set("A", "Caf\xc3\xa9");
    CParse parse("t.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(Take(), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x80\x93 \xe6\x97\xa5\xe6\x9c\xac Caf\xc3\xa9\r\n"
                      "lone \r cr, high \xff\x80\xfe\r\n");
    parse.Repeat();
    EXPECT_EQ(Take(), "Caf\xc3\xa9\r\n");
    parse.Parse();
    EXPECT_EQ(Take(), "end\r\n");
}

TEST_P(CParseTemplate, NulBytesAreLeftOutWithoutShiftingTheResumePoint) {
    Write("t.htm", std::string("a\0b###X\0Y###c\0d\n", 16));
    CParse parse("t.htm", &table, nullptr, Collect);
    parse.Parse();
    EXPECT_EQ(Take(), "ab");
    parse.Repeat();
    EXPECT_EQ(Take(), "XY");
    parse.Parse();
    EXPECT_EQ(Take(), "cd\n");
}

TEST_P(CParseTemplate, RunScriptEndsAtTheFirstMarker) {
    Write("t.htm", "one _A_\ntwo ###rest###\nthree\n");
    table.Set("A", "1");
    RunScript("t.htm", &table, nullptr, Collect);
    EXPECT_EQ(Page(), "one 1\ntwo ");
}

TEST_P(CParseTemplate, SectionSwitchShowsOrHidesAStretch) {
    Write("t.htm", "<p>_C1P_prev_C2P_ | _C1N_next_C2N_</p>\n");
    table.Set("C1P", "<!--");
    table.Set("C2P", "-->");
    table.Set("C1N", "");
    table.Set("C2N", "");
    RunScript("t.htm", &table, nullptr, Collect);
    EXPECT_EQ(Page(), "<p><!--prev--> | next</p>\n");
}

TEST_P(CParseTemplate, SubstituteInPlaceIsBoundedByTheCallersBuffer) {
    CParse parse("none.htm", &table, nullptr, nullptr);
    table.Set("b", "B");
    table.Set("X", "0123456789ABCDEF");
    char text[16] = "x_a_b_";
    parse.Substitute(text, sizeof text);
    EXPECT_STREQ(text, "x_aB");
    char cut[16] = "ab_X_cd";
    parse.Substitute(cut, sizeof cut);
    EXPECT_STREQ(cut, "ab0123456789ABC");
}

INSTANTIATE_TEST_SUITE_P(Disk, CParseTemplate, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Memory, CParseTemplate, ::testing::Values(true));

} // namespace
