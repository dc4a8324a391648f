// The host's text and date helpers and its "KEY: TEXT" file reader.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <unistd.h>

#include "host/accounts.h"
#include "host/log.h"
#include "host/messages.h"
#include "shell/host.h"

namespace {

TEST(HostText, CopiesKeepAtMostSizeMinusOneCharacters) {
    char buf[6];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_STREQ(_stzcpy(buf, "abcdefgh", sizeof buf), "abcde");
    EXPECT_STREQ(_stzcpy(buf, "ab", sizeof buf), "ab");
    EXPECT_EQ(buf[3], 'd') << "_stzcpy leaves the rest of the buffer alone";
    EXPECT_STREQ(_stlcpy(buf, "ab", sizeof buf), "ab");
    for (size_t i = 2; i < sizeof buf; ++i) EXPECT_EQ(buf[i], '\0') << "_stlcpy zeroes the rest";
    EXPECT_STREQ(_stzcat(buf, "cdefg", sizeof buf), "abcde");
    char full[4] = {'a', 'b', 'c', 'd'};  // not terminated: the append must not run past it
    EXPECT_STREQ(_stzcat(full, "e", sizeof full), "abc");
}

TEST(HostText, ComparisonsIgnoreCase) {
    EXPECT_TRUE(_sameas("StoreList", "STORELIST"));
    EXPECT_FALSE(_sameas("store", "storelist"));
    EXPECT_TRUE(_sameto("/WEBMALL", "/webmallx?CMD=x"));
    EXPECT_FALSE(_sameto("/webmall", "/web"));
    EXPECT_TRUE(_sameto("", "anything"));
}

TEST(HostText, EditsInPlace) {
    char text[] = "RED SHIRT  ";
    EXPECT_STREQ(_depad(text), "RED SHIRT");
    EXPECT_STREQ(_strrpl(text, ' ', '+'), "RED+SHIRT");
    char blanks[] = "   ";
    EXPECT_STREQ(_depad(blanks), "");
}

TEST(HostText, FormatsAndItems) {
    const char *a = _spr("%1.2f", 9.5);
    const char *b = _spr("%d", 7);
    EXPECT_STREQ(a, "9.50") << "one result survives the next call";
    EXPECT_STREQ(b, "7");
    EXPECT_STREQ(_l2as(-42), "-42");
    const char *line = "UPS Ground~4.50~1.25~YES";
    EXPECT_STREQ(_itemidxd(line, 0, "~"), "UPS Ground");
    EXPECT_STREQ(_itemidxd(line, 3, "~"), "YES");
    EXPECT_STREQ(_itemidxd(line, 4, "~"), "");
    EXPECT_STREQ(_itemidxd("a~~c", 1, "~"), "");
    EXPECT_STREQ(_itemidxd("a~~c", 2, "~"), "c");
}

TEST(HostDates, DayCountsAndPackedForms) {
    uint16_t first = static_cast<uint16_t>(0 << 9 | 1 << 5 | 1);  // 1 January 1980
    EXPECT_EQ(_cofdat(first), 0);
    uint16_t leap = static_cast<uint16_t>((2024 - 1980) << 9 | 2 << 5 | 29);
    uint16_t march = static_cast<uint16_t>((2024 - 1980) << 9 | 3 << 5 | 1);
    EXPECT_EQ(_cofdat(march) - _cofdat(leap), 1);
    EXPECT_EQ(_datofc(_cofdat(leap)), leap);
    EXPECT_STREQ(_ncdate(leap), "02/29/24");
    uint16_t t = static_cast<uint16_t>(13 << 11 | 5 << 5 | 30 / 2);
    EXPECT_STREQ(_nctime(t), "13:05:30");
    // Packed dates reach the end of 2107, day 46750.
    for (int day = 0; day <= 46750; day += 37) EXPECT_EQ(_cofdat(_datofc(day)), day);
    EXPECT_EQ(_datofc(_cofdat(_today())), _today());
}

TEST(HostAccounts, MailAddressSyntax) {
    for (const char *good : {"a@example.com", "first.last+tag@sub.example.org", "x_y@a-b.co"})
        EXPECT_TRUE(host::valid_mail_address(good)) << good;
    for (const char *bad : {"", "@example.com", "a@", "a@example", "a..b@example.com", ".a@example.com",
                            "a@-example.com", "a@example.c0m", "a b@example.com", "a@exa mple.com"})
        EXPECT_FALSE(host::valid_mail_address(bad)) << bad;
}

std::string write_temp(const std::string &text) {
    char name[] = "/tmp/shopvera-keyed-XXXXXX";
    int fd = mkstemp(name);
    close(fd);
    std::ofstream(name, std::ios::binary) << text;
    return name;
}

TEST(HostLog, ControlCharactersAreEscapedAndNothingElse) {
    EXPECT_EQ(host::escape_controls("CMD=x\r\nforged"), "CMD=x\\r\\nforged");
    EXPECT_EQ(host::escape_controls(std::string("a\tb\x01\x1f\x7f", 6)), "a\\tb\\x01\\x1f\\x7f");
    EXPECT_EQ(host::escape_controls(std::string("nul\0end", 7)), "nul\\x00end");
    EXPECT_EQ(host::escape_controls("caf\xC3\xA9 \\ 100% ~"), "caf\xC3\xA9 \\ 100% ~");
}

TEST(HostKeyedLines, CommentsContinuationsAndInlineComments) {
    std::string file = write_temp("# comment\n\n  12: text with # kept\r\n13:\n14: one\\\ntwo\n");
    std::map<std::string, host::KeyedLine> out;
    std::string error;
    host::KeyedFileRules numeric;
    numeric.numeric_keys = true;
    ASSERT_TRUE(host::read_keyed_lines(file, numeric, &out, &error)) << error;
    EXPECT_EQ(out["12"].text, "text with # kept");
    EXPECT_EQ(out["12"].line, 3);
    EXPECT_EQ(out["13"].text, "");
    EXPECT_EQ(out["14"].text, "one\ntwo");
    unlink(file.c_str());

    file = write_temp("name: Shopvera Web Mall     # what the host shows\nlibrary: kvzsvw\n");
    out.clear();
    host::KeyedFileRules named;
    named.inline_comments = true;
    ASSERT_TRUE(host::read_keyed_lines(file, named, &out, &error)) << error;
    EXPECT_EQ(out["name"].text, "Shopvera Web Mall");
    EXPECT_EQ(out["library"].text, "kvzsvw");
    unlink(file.c_str());

    file = write_temp("a: 1\nb: 2\na: 3\n");
    out.clear();
    EXPECT_FALSE(host::read_keyed_lines(file, named, &out, &error));
    EXPECT_NE(error.find(":3: a given twice (first on line 1)"), std::string::npos) << error;
    unlink(file.c_str());
}

}  // namespace
