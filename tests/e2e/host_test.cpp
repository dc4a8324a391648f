// The host's module services seen by a real module in a real hostd: registration, options and
// messages, timers, audit and trace lines, accounts, libraries, shutdown, start-up errors.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/e2e/harness.h"

namespace {

using e2e::Host;
using e2e::TempRoot;

const char kOptions[] =
    "# the test module's options\n"
    "1: Shopvera test <b>mall</b>\n"
    "2: 99\n"
    "3: -4\n"
    "4: yes\n"
    "5: n\n"
    "6: first line\\\n"
    "second line\n"
    "7:\n";

void lay_out(const TempRoot &root, const std::string &options = kOptions) {
    e2e::write_mdf(root.path(), "hostmod.mdf", "Host services test module with a long name", "hostmod");
    e2e::write_file(root.file("hostmod.mcv"), options);
    ASSERT_EQ(e2e::mallctl(root.path(), {"user", "add", "alice", "--password", "secret", "--alias",
                                         "Alice.Smith", "--key", "STAFF", "--key", "VIP"}).status, 0);
    ASSERT_EQ(e2e::mallctl(root.path(), {"user", "add", "bob", "--password", "pw"}).status, 0);
}

std::vector<std::string> trace_lines(const TempRoot &root) {
    std::vector<std::string> lines;
    std::istringstream in(e2e::read_file(root.file("trace.log")));
    std::string line;
    while (std::getline(in, line)) {
        // Lines carry a "YYYY-MM-DD HH:MM:SS " stamp in front of the text; a text with a line
        // end in it goes on without one.
        bool stamped = line.size() >= 20 && line[4] == '-' && line[10] == ' ' && line[19] == ' ';
        lines.push_back(stamped ? line.substr(20) : line);
    }
    return lines;
}

bool has_line(const std::vector<std::string> &lines, const std::string &text) {
    for (const auto &l : lines)
        if (l == text) return true;
    return false;
}

long value_after(const std::vector<std::string> &lines, const std::string &prefix) {
    for (const auto &l : lines)
        if (l.rfind(prefix, 0) == 0) return std::stol(l.substr(prefix.size()));
    return -1;
}

TEST(HostServices, ModuleRegistersReadsOptionsAndAccountsAndShutsDown) {
    TempRoot root;
    lay_out(root);
    Host host(root.path(), {"--time-scale", "10"}, e2e::testlib_dir());
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    auto lines = trace_lines(root);

    // The registration record's description is cut to 24 characters.
    EXPECT_TRUE(has_line(lines, "registered 1 as 'Host services test modul'"));
    EXPECT_TRUE(has_line(lines, "option 1=[Shopvera test <b>mall</b>]"));
    EXPECT_TRUE(has_line(lines, "option 2=10")) << "a number above the range is kept at the top";
    EXPECT_TRUE(has_line(lines, "option 3=5")) << "a number below the range is kept at the bottom";
    EXPECT_TRUE(has_line(lines, "option 4=1"));
    EXPECT_TRUE(has_line(lines, "option 5=0"));
    // A trailing backslash becomes a line end, which the trace line shows escaped.
    EXPECT_TRUE(has_line(lines, "message 6=[first line\\nsecond line]"));
    EXPECT_TRUE(has_line(lines, "message 7=[]"));
    EXPECT_TRUE(has_line(lines, "message 99=[(message 99 missing)]"));
    EXPECT_TRUE(has_line(lines, "message 99 missing from hostmod.mcv"));
    EXPECT_TRUE(has_line(lines, "option 98=[]"));
    EXPECT_TRUE(has_line(lines, "option 98 missing from hostmod.mcv"));

    EXPECT_TRUE(has_line(lines, "uhskey alice STAFF=1"));
    EXPECT_TRUE(has_line(lines, "uhskey ALICE staff=1"));
    EXPECT_TRUE(has_line(lines, "uhskey alice BOSS=0"));
    EXPECT_TRUE(has_line(lines, "uhskey nobody STAFF=0"));
    EXPECT_TRUE(has_line(lines, "alias alice=Alice.Smith"));
    EXPECT_TRUE(has_line(lines, "alias bob=bob")) << "the alias defaults to the user id";
    EXPECT_TRUE(has_line(lines, "adrxst alice=1"));
    EXPECT_TRUE(has_line(lines, "adrxst INTERNET:joe@example.com=1"));
    EXPECT_TRUE(has_line(lines, "adrxst joe@example.com=1"));
    EXPECT_TRUE(has_line(lines, "adrxst joe@=0"));
    EXPECT_TRUE(has_line(lines, "adrxst nobody=0"));
    EXPECT_TRUE(has_line(lines, "adrxst a b@example.com=0"));
    EXPECT_TRUE(has_line(lines, "account Alice found=1 id=alice password=secret"));

    EXPECT_TRUE(has_line(lines, "LoadLibraryA HOSTMOD.DLL=loaded"));
    EXPECT_TRUE(has_line(lines, "GetProcAddress _init__hostmod=found"));
    EXPECT_TRUE(has_line(lines, "GetProcAddress _nothing=none"));
    EXPECT_TRUE(has_line(lines, "FreeLibrary=1"));
    EXPECT_TRUE(has_line(lines, "LoadLibraryA MISSING=failed"));

    std::string audit = e2e::read_file(root.file("audit.log"));
    EXPECT_NE(audit.find("HOSTMOD V1\tloaded with 5 options\n"), std::string::npos) << audit;

    EXPECT_EQ(host.stop(), 0);
    EXPECT_TRUE(has_line(trace_lines(root), "hostmod shutdown"));
}

TEST(HostServices, TimersFireInOrderScaledBeforeTheReadyLine) {
    TempRoot root;
    lay_out(root);
    auto started = std::chrono::steady_clock::now();
    Host host(root.path(), {"--time-scale", "8"}, e2e::testlib_dir());
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Three host seconds at eight times the speed: well under the three seconds of real time.
    EXPECT_LT(waited, 2.5);

    auto lines = trace_lines(root);
    std::vector<std::string> order;
    for (const auto &l : lines)
        if (l.rfind("timer ", 0) == 0) order.push_back(l.substr(0, 7));
    ASSERT_EQ(order, (std::vector<std::string>{"timer 1", "timer 2", "timer 3"}))
        << "the ready line comes after every timer the initialiser scheduled";
    long start = value_after(lines, "start at ");
    long t1 = value_after(lines, "timer 1 at ");
    long t3 = value_after(lines, "timer 3 at ");
    // Host clock in sixteenths of a second: timer 1 fires 16 sixteenths after start, timer 3 48.
    EXPECT_GE(t1 - start, 16);
    EXPECT_LT(t1 - start, 16 + 12);
    EXPECT_GE(t3 - start, 48);
    EXPECT_LT(t3 - start, 48 + 12);
}

TEST(HostServices, StartupProblemsNameTheFileAndLine) {
    struct Case {
        const char *what;
        std::string options;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"no colon", "1: fine\n2 missing colon\n", "hostmod.mcv:2: expected 'KEY: TEXT'"},
        {"twice", "1: a\n\n1: b\n", "hostmod.mcv:3: 1 given twice (first on line 1)"},
        {"twice, written another way", "12: a\n012: b\n", "hostmod.mcv:2: 12 given twice (first on line 1)"},
        {"not a number key", "x1: a\n", "hostmod.mcv:1: 'x1' is not an entry number"},
        {"bad number", "1: a\n2: ten\n", "hostmod.mcv:2: option 2 is not a number: 'ten'"},
        {"bad yes/no", "4: perhaps\n", "hostmod.mcv:1: option 4 is not YES or NO: 'perhaps'"},
    };
    for (const auto &c : cases) {
        TempRoot root;
        lay_out(root, c.options);
        Host host(root.path(), {}, e2e::testlib_dir(), 10);
        EXPECT_FALSE(host.ready()) << c.what;
        EXPECT_EQ(host.exit_status(), 1) << c.what;
        EXPECT_NE(host.stderr_text().find(c.expected), std::string::npos) << c.what << ": " << host.stderr_text();
    }
}

TEST(HostServices, ModuleDefinitionProblemsNameTheFile) {
    struct Case {
        const char *what;
        std::string mdf;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"no library", "name: Test\n", "hostmod.mdf: no 'library:' line"},
        {"missing library", "name: Test\nlibrary: nosuchlib\n", "hostmod.mdf:2: cannot load module library"},
        {"unknown setting", "name: Test\nlibrary: hostmod\ncolour: red\n", "hostmod.mdf:3: unknown setting 'colour'"},
        {"malformed", "name Test\n", "hostmod.mdf:1: expected 'KEY: TEXT'"},
    };
    for (const auto &c : cases) {
        TempRoot root;
        lay_out(root);
        e2e::write_file(root.file("hostmod.mdf"), c.mdf);
        Host host(root.path(), {}, e2e::testlib_dir(), 10);
        EXPECT_FALSE(host.ready()) << c.what;
        EXPECT_EQ(host.exit_status(), 1) << c.what;
        EXPECT_NE(host.stderr_text().find(c.expected), std::string::npos) << c.what << ": " << host.stderr_text();
    }
    // A root that does not exist, and a flag with a bad value.
    auto missing = e2e::run({e2e::bin_dir() + "/hostd", "--root", "/nonexistent/shopvera"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("root directory '/nonexistent/shopvera' not found"), std::string::npos);
    auto bad_scale = e2e::run({e2e::bin_dir() + "/hostd", "--time-scale", "fast"});
    EXPECT_EQ(bad_scale.status, 1);
    EXPECT_NE(bad_scale.err.find("--time-scale wants a whole number"), std::string::npos);
}

TEST(HostServices, MallctlUserAddRefusesWhatTheMallCannotCompare) {
    TempRoot root;
    EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "carol", "--password", "ninechars"}).status, 0);
    auto again = e2e::mallctl(root.path(), {"user", "add", "CAROL", "--password", "x"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos);
    auto long_pw = e2e::mallctl(root.path(), {"user", "add", "dave", "--password", "tencharsxx"});
    EXPECT_EQ(long_pw.status, 1);
    EXPECT_NE(long_pw.err.find("password must have 1 to 9 characters"), std::string::npos);
    auto long_id = e2e::mallctl(root.path(), {"user", "add", std::string(30, 'u'), "--password", "x"});
    EXPECT_EQ(long_id.status, 1);
    EXPECT_NE(long_id.err.find("user id must have 1 to 29 characters"), std::string::npos);
    EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", std::string(29, 'u'), "--password", "x"}).status, 0);
    auto no_pw = e2e::mallctl(root.path(), {"user", "add", "erin"});
    EXPECT_EQ(no_pw.status, 2);
}

}  // namespace
