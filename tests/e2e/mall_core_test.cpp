// The mall module's request path in a real hostd: dispatch, the error and logon pages, access
// options, the companion checks at start-up, and streaming of pages larger than a buffer.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <chrono>
#include <cstring>
#include <csignal>

#include "tests/e2e/harness.h"
#include "tests/e2e/web_util.h"

namespace {

using e2e::Host;
using e2e::TempRoot;

// A root laid out by mallctl init, with two accounts, and the given changes to the options.
class Mall {
  public:
    explicit Mall(const std::string &option_lines = "", const std::string &cfg_lines = "") {
        EXPECT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "alice", "--password", "secret", "--key", "MALLKEY"}).status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "bob", "--password", "ninechars"}).status, 0);
        if (!option_lines.empty()) replace_lines(root.file("kvzsvw.mcv"), option_lines);
        if (!cfg_lines.empty()) replace_lines(root.file("mall.cfg"), cfg_lines);
    }
    // Replaces the lines with the same key ("2: NO" replaces the line "2: ...").
    static void replace_lines(const std::string &file, const std::string &lines) {
        std::string text = e2e::read_file(file);
        std::istringstream in(lines);
        std::string line;
        while (std::getline(in, line)) {
            std::string key = line.substr(0, line.find(':') + 1);
            std::regex existing("(^|\n)" + key + "[^\n]*");
            if (std::regex_search(text, existing)) text = std::regex_replace(text, existing, "$01" + line);
            else text += line + "\n";
        }
        e2e::write_file(file, text);
    }
    TempRoot root;
};

std::string audit(const Mall &m) { return e2e::read_file(m.root.file("audit.log")); }
std::string trace(const Mall &m) { return e2e::read_file(m.root.file("trace.log")); }

TEST(MallCore, UnknownCommandsGetTheErrorPageBehindTheModulesStatusLine) {
    Mall mall;
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    auto r = e2e::get(host.port(), "/webmall?CMD=nothing", "127.0.0.5");
    EXPECT_EQ(r.raw.rfind("HTTP/1.0 200 OK: \r\nContent-Type: text/html\r\n\r\n", 0), 0u) << r.raw.substr(0, 200);
    EXPECT_NE(r.body.find("Unrecognized command"), std::string::npos);
    EXPECT_NE(trace(mall).find("CMD=nothing Peer 127.0.0.5"), std::string::npos);

    r = e2e::get(host.port(), "/webmall");
    EXPECT_NE(r.body.find("<p class=\"error\" role=\"alert\">Unrecognized command</p>"), std::string::npos) << r.body;

    r = e2e::post(host.port(), "/webmall", "CMD=storelist");
    EXPECT_NE(r.body.find("Unrecognized command from a (POST)"), std::string::npos) << r.raw;
    // POST commands come from the body only, never from the query.
    r = e2e::post(host.port(), "/webmall?CMD=logon", "X=1");
    EXPECT_NE(r.body.find("Unrecognized command from a (POST)"), std::string::npos);

    // The path test is a case-blind prefix test.
    for (const char *path : {"/WEBMALL?CMD=x", "/webmallx?CMD=x"}) {
        r = e2e::get(host.port(), path);
        EXPECT_NE(r.body.find("Unrecognized command"), std::string::npos) << path;
    }
    // Anything else is the host's.
    EXPECT_EQ(e2e::get(host.port(), "/shopvera.css").status, 200);
    EXPECT_EQ(e2e::get(host.port(), "/web?CMD=x").status, 404);

    // A request line without a version gets the page alone.
    std::string raw = e2e::http_raw(host.port(), "GET /webmall?CMD=nothing\r\n");
    EXPECT_EQ(raw.rfind("<!DOCTYPE html>", 0), 0u) << raw.substr(0, 100);
    EXPECT_NE(raw.find("Unrecognized command"), std::string::npos);

    // HEAD passes the access check and gets the host's 501.
    r = e2e::parse_response(e2e::http_raw(host.port(), "HEAD /webmall?CMD=logon HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(r.status, 501);
}

TEST(MallCore, LogonAsksForCredentialsUntilAUserIsVerified) {
    Mall mall;
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    auto r = e2e::get(host.port(), "/webmall?CMD=logon");
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.headers["www-authenticate"].find("Basic realm="), std::string::npos);

    r = e2e::get(host.port(), "/webmall?CMD=logon", "127.0.0.1", "alice:secret");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<span class=\"uid\">alice</span>"), std::string::npos) << r.body;
    // Passwords compare ignoring case; only the first nine characters count.
    EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=logon", "127.0.0.1", "ALICE:SECRET").status, 200);
    EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=logon", "127.0.0.1", "bob:ninecharsANDMORE").status, 200);
    const std::vector<std::string> refused = {"alice:wrong", "alice", "nobody:secret", std::string(30, 'u') + ":x",
                                              "alice:secret" + std::string(300, 'z')};
    for (const std::string &bad : refused) {
        EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=logon", "127.0.0.1", bad).status, 401) << bad.substr(0, 40);
    }
    // The credentials of one request never carry over to the next.
    EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=logon").status, 401);
}

TEST(MallCore, WithoutOpenAccessEveryShopperSignsOnAndNeedsTheMallKey) {
    Mall mall("2: NO\n3: MALLKEY\n");
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=nothing").status, 401);
    auto r = e2e::get(host.port(), "/webmall?CMD=nothing", "127.0.0.1", "bob:ninechars");
    EXPECT_NE(r.body.find("Your account does not have access"), std::string::npos) << r.body;
    r = e2e::get(host.port(), "/webmall?CMD=nothing", "127.0.0.1", "alice:secret");
    EXPECT_NE(r.body.find("Unrecognized command"), std::string::npos);
}

TEST(MallCore, WithoutAMallKeyAnyVerifiedUserMayShop) {
    Mall mall("2: NO\n");
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=nothing").status, 401);
    auto r = e2e::get(host.port(), "/webmall?CMD=nothing", "127.0.0.1", "bob:ninechars");
    EXPECT_NE(r.body.find("Unrecognized command"), std::string::npos);
}

TEST(MallCore, AWrongDataVersionLeavesTheMallUnhooked) {
    Mall mall("", "data_version: 6\n");
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    EXPECT_NE(audit(mall).find("KVZSVW: V1.00.00 HS30 NT\tShopvera Version error 6 7"), std::string::npos) << audit(mall);
    EXPECT_EQ(audit(mall).find("Web Shopvera Loaded"), std::string::npos);
    auto r = e2e::get(host.port(), "/webmall?CMD=nothing");
    EXPECT_EQ(r.status, 404) << "the host answers /webmall itself";
}

TEST(MallCore, MissingCompanionsAreReportedAndLeaveTheMallUnhooked) {
    Mall mall;
    TempRoot libs;
    for (const char *lib : {"kvzsvw.so", "kvzsvall.so"})
        std::filesystem::create_symlink(e2e::bin_dir() + "/" + lib, libs.file(lib));
    Host host(mall.root.path(), {"--time-scale", "10"}, libs.path());
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    EXPECT_NE(audit(mall).find("\tUnable to access POS Dial"), std::string::npos) << audit(mall);
    EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=nothing").status, 404);
}

TEST(MallCore, LoadingIsAuditedAndShutdownTraced) {
    Mall mall;
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    EXPECT_NE(audit(mall).find("KVZSVW: V1.00.00 HS30 NT\tWeb Shopvera Loaded"), std::string::npos);
    EXPECT_NE(trace(mall).find("Shopvera Web Initialized"), std::string::npos);
    EXPECT_NE(trace(mall).find("KVZSVW: V1.00.00 HS30 NT Web Shopvera Loaded"), std::string::npos);
    EXPECT_EQ(host.stop(), 0);
    EXPECT_NE(trace(mall).find("KVZSVW: V1.00.00 HS30 NT Shutdown"), std::string::npos);
}

TEST(MallCore, APageLargerThanTheOutputBufferArrivesWholeAndItsSpoolFileGoes) {
    Mall mall;
    // An error page of 300 kB: every line numbered, so a lost or repeated piece shows.
    std::string page = "<!DOCTYPE html>\n<p>_error_</p>\n";
    for (int i = 0; i < 6000; ++i) page += "line " + std::to_string(i) + " " + std::string(40, 'x') + "\n";
    e2e::write_file(mall.root.file("kvzsvw/fail.htm"), page);
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    std::string expected = page;
    expected.replace(expected.find("_error_"), 7, "Unrecognized command");
    for (const char *from : {"127.0.0.2", "127.0.0.3"}) {
        auto r = e2e::get(host.port(), "/webmall?CMD=big", from);
        EXPECT_EQ(r.body.size(), expected.size());
        EXPECT_TRUE(r.body == expected);
    }
    EXPECT_TRUE(e2e::list_dir(mall.root.file("KVZSVTMP")).empty());
}

TEST(MallCore, ATransferAcrossTheWrapOfTheSixteenBitClockIsNotCutOff) {
    // At a thousand times the speed the clock of sixteenths wraps every 4.1 s, and the longest
    // idle time-out (2047 host seconds) is 2 s: a slow reader whose page takes 6 s crosses a wrap
    // while every gap between two pieces stays far below the time-out.
    Mall mall("7: 2047\n");
    std::string page = "<!DOCTYPE html>\n<p>_error_</p>\n";
    std::string line(99, 'w');
    line += "\n";
    while (page.size() < (6u << 20)) page += line;
    e2e::write_file(mall.root.file("kvzsvw/fail.htm"), page);
    Host host(mall.root.path(), {"--time-scale", "1000"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    e2e::Client client(host.port(), "127.0.0.9", 16384);
    ASSERT_TRUE(client.send("GET /webmall?CMD=slow HTTP/1.0\r\n\r\n"));
    auto started = std::chrono::steady_clock::now();
    while (!client.closed() && std::chrono::steady_clock::now() - started < std::chrono::seconds(40)) {
        client.read_some(200, 48 * 1024);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    auto r = e2e::parse_response(client.received);
    EXPECT_GT(took, 4.5) << "the transfer must outlast one period of the clock";
    EXPECT_EQ(r.body.size(), page.size() - 7 + std::strlen("Unrecognized command"));
}

// The logs stay open: after logrotate moves them away, lines go on into the moved files until
// SIGHUP, and after it into new files under the usual names.
TEST(MallCore, LogsMovedAwayAreReopenedOnHangup) {
    Mall mall;
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    e2e::get(host.port(), "/webmall?CMD=first", "127.0.0.5");
    std::filesystem::rename(mall.root.file("trace.log"), mall.root.file("trace.log.1"));
    std::filesystem::rename(mall.root.file("audit.log"), mall.root.file("audit.log.1"));
    e2e::get(host.port(), "/webmall?CMD=second", "127.0.0.5");
    EXPECT_FALSE(e2e::file_exists(mall.root.file("trace.log")));

    ASSERT_EQ(kill(host.pid(), SIGHUP), 0);
    // The signal is taken between requests; a request is answered after it.
    std::string moved;
    for (int i = 0; i < 100 && !e2e::file_exists(mall.root.file("trace.log")); ++i) {
        e2e::get(host.port(), "/webmall?CMD=third", "127.0.0.5");
    }
    moved = e2e::read_file(mall.root.file("trace.log.1"));
    EXPECT_NE(moved.find("CMD=first Peer 127.0.0.5"), std::string::npos) << moved;
    EXPECT_NE(moved.find("CMD=second Peer 127.0.0.5"), std::string::npos) << moved;
    std::string fresh = trace(mall);
    EXPECT_NE(fresh.find("CMD=third Peer 127.0.0.5"), std::string::npos) << fresh;
    EXPECT_EQ(fresh.find("CMD=second"), std::string::npos) << fresh;
    EXPECT_EQ(fresh.find("CMD=third"), 20u) << "a new file starts with a whole, stamped line: " << fresh;

    EXPECT_EQ(host.stop(), 0);
    // The shutdown's lines go to the new files too.
    EXPECT_NE(trace(mall).find("Shutdown"), std::string::npos);
    EXPECT_EQ(moved, e2e::read_file(mall.root.file("trace.log.1")));
}

// Templates and pictures are looked up in memory, and what the operator changes in the root
// is what the next request sees. The spool directory is in memory while hostd runs, and a
// directory of the root again when it stops.
TEST(MallCore, ChangesToTheRootShowInTheNextRequestAndTheSpoolIsInMemory) {
    Mall mall;
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    const std::string page = "/webmall?CMD=storelist";
    std::string before = e2e::get(host.port(), page).body;
    EXPECT_EQ(before.find("url('KVZSV/KVZSVBKG.jpg')"), std::string::npos) << before;

    const std::string tmpl = mall.root.file("kvzsvw/swstlst.htm");
    std::string text = e2e::read_file(tmpl);
    e2e::write_file(tmpl, "<!-- changed -->\n" + text);
    e2e::write_file(mall.root.file("www/KVZSV/kvzsvbkg.JPG"), "picture");
    std::string after = e2e::get(host.port(), page).body;
    EXPECT_EQ(after.rfind("<!-- changed -->\n", 0), 0u) << after.substr(0, 100);
    EXPECT_NE(after.find("url('KVZSV/KVZSVBKG.jpg')"), std::string::npos) << after;

    std::filesystem::remove(mall.root.file("www/KVZSV/kvzsvbkg.JPG"));
    e2e::write_file(tmpl, text);
    EXPECT_EQ(e2e::get(host.port(), page).body, before);

    const std::string spool = mall.root.file("KVZSVTMP");
    ASSERT_TRUE(std::filesystem::is_symlink(spool));
    const std::string place = std::filesystem::read_symlink(spool).string();
    EXPECT_EQ(place.rfind("/dev/shm/", 0), 0u) << place;
    EXPECT_NE(trace(mall).find("spool directory KVZSVTMP: in memory, " + place), std::string::npos) << trace(mall);
    EXPECT_TRUE(e2e::list_dir(spool).empty());

    EXPECT_EQ(host.stop(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(spool));
    EXPECT_TRUE(std::filesystem::is_directory(spool));
    EXPECT_FALSE(std::filesystem::exists(place));

    // A killed hostd leaves its link and directory; the next start (of any root) removes the
    // directory, and a start on the same root makes a new one.
    Host killed(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(killed.ready()) << killed.stderr_text();
    const std::string left = std::filesystem::read_symlink(spool).string();
    killed.stop(SIGKILL);
    EXPECT_TRUE(std::filesystem::is_directory(left));
    Mall other;
    Host next(other.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(next.ready()) << next.stderr_text();
    EXPECT_FALSE(std::filesystem::exists(left));
    Host again(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(again.ready()) << again.stderr_text();
    EXPECT_NE(std::filesystem::read_symlink(spool).string(), left);
    EXPECT_TRUE(std::filesystem::is_directory(spool));
    EXPECT_EQ(e2e::get(again.port(), page).body, before);
}

}  // namespace
