// What a browser gets from the host itself: static files it may keep and ask again about with
// their validators, the host's own answer pages taken from www/errors/, and access.log.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/web_util.h"

namespace {

using namespace std::chrono_literals;

e2e::Response request(int port, const std::string &head, const std::string &from = "127.0.0.1") {
    return e2e::parse_response(e2e::http_raw(port, head + "\r\n", from));
}

TEST(WebStatic, AFileFetchedAgainWithItsValidatorsAnswers304) {
    e2e::WebSite site;
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();
    e2e::Response first = e2e::get(site.port(), "/KVZSV/ACME/Logo.GIF");
    ASSERT_EQ(first.status, 200);
    const std::string tag = first.headers["etag"];
    const std::string modified = first.headers["last-modified"];
    EXPECT_TRUE(std::regex_match(tag, std::regex("\"[0-9a-f]+-[0-9a-f]+-[0-9a-f]+\""))) << tag;
    EXPECT_TRUE(std::regex_match(modified, std::regex("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT")))
        << modified;
    EXPECT_EQ(first.headers["cache-control"], "max-age=86400");

    // The browser asks with the tag, with the date, with a list of tags, or with "*": 304,
    // the validators again and no body.
    const std::string asks[] = {
        "If-None-Match: " + tag,
        "If-Modified-Since: " + modified,
        "If-None-Match: \"other\", W/" + tag,
        "If-None-Match: *",
    };
    for (const std::string &ask : asks) {
        SCOPED_TRACE(ask);
        e2e::Response again = request(site.port(), "GET /KVZSV/ACME/Logo.GIF HTTP/1.1\r\nHost: shop\r\n" + ask + "\r\n");
        EXPECT_EQ(again.status, 304);
        EXPECT_EQ(again.body, "");
        EXPECT_EQ(again.headers["etag"], tag);
        EXPECT_EQ(again.headers["last-modified"], modified);
        EXPECT_EQ(again.headers["cache-control"], "max-age=86400");
    }

    // A tag that does not match wins over a date that would: the file comes whole.
    e2e::Response stale = request(site.port(), "GET /KVZSV/ACME/Logo.GIF HTTP/1.0\r\nIf-None-Match: \"0-0-0\"\r\n"
                                               "If-Modified-Since: " + modified + "\r\n");
    EXPECT_EQ(stale.status, 200);
    EXPECT_EQ(stale.body, "GIF89a-not-really");
    // A date before the file's, or one that is not a date, gets the file.
    for (const char *date : {"Thu, 01 Jan 1998 00:00:00 GMT", "yesterday"}) {
        e2e::Response r = request(site.port(), std::string("GET /KVZSV/ACME/Logo.GIF HTTP/1.0\r\nIf-Modified-Since: ") +
                                                   date + "\r\n");
        EXPECT_EQ(r.status, 200) << date;
        EXPECT_EQ(r.body, "GIF89a-not-really") << date;
    }

    // The file rewritten: its old tag no longer matches.
    std::this_thread::sleep_for(20ms);
    e2e::write_file(site.root.path() + "/www/KVZSV/ACME/Logo.GIF", "GIF89a-redrawn");
    e2e::Response changed = request(site.port(), "GET /KVZSV/ACME/Logo.GIF HTTP/1.0\r\nIf-None-Match: " + tag + "\r\n");
    EXPECT_EQ(changed.status, 200);
    EXPECT_EQ(changed.body, "GIF89a-redrawn");
    EXPECT_NE(changed.headers["etag"], tag);

    // Pages are asked for again each time; the style sheet is kept like the pictures.
    EXPECT_EQ(e2e::get(site.port(), "/hello.txt").headers["cache-control"], "no-cache");
    EXPECT_EQ(e2e::get(site.port(), "/").headers["cache-control"], "no-cache");
    EXPECT_EQ(e2e::get(site.port(), "/style.css").headers["cache-control"], "max-age=86400");
}

TEST(WebStatic, TheOperatorSetsHowLongFilesAreKept) {
    e2e::WebSite week({"--cache-seconds", "604800"});
    ASSERT_TRUE(week.host->ready()) << week.host->stderr_text();
    EXPECT_EQ(e2e::get(week.port(), "/style.css").headers["cache-control"], "max-age=604800");
    e2e::WebSite never({"--cache-seconds", "0"});
    ASSERT_TRUE(never.host->ready()) << never.host->stderr_text();
    EXPECT_EQ(e2e::get(never.port(), "/KVZSV/ACME/Logo.GIF").headers["cache-control"], "no-cache");
    e2e::WebSite bad({"--cache-seconds", "-1"});
    EXPECT_FALSE(bad.host->ready());
}

TEST(WebAnswers, TheHostsOwnAnswersComeFromWwwErrors) {
    e2e::WebSite site;
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();
    // Without a page of the operator's: a small page of the host's own, with a way back.
    e2e::Response plain = e2e::get(site.port(), "/missing.html");
    EXPECT_EQ(plain.status, 404);
    EXPECT_NE(plain.body.find("<h1>404 Not Found</h1>"), std::string::npos);
    EXPECT_NE(plain.body.find("href=\"/shopvera.css\""), std::string::npos);
    EXPECT_NE(plain.body.find("href=\"/\""), std::string::npos);

    const std::string page404 = "<!DOCTYPE html>\n<title>Lost</title><p>Not here. <a href=\"/\">Home</a></p>\n";
    const std::string page501 = "<!DOCTYPE html>\n<title>No</title><p>We cannot do that.</p>\n";
    e2e::write_file(site.root.path() + "/www/errors/404.html", page404);
    e2e::write_file(site.root.path() + "/www/errors/501.html", page501);
    e2e::Response lost = e2e::get(site.port(), "/missing.html");
    EXPECT_EQ(lost.status, 404);
    EXPECT_EQ(lost.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_EQ(lost.body, page404);
    EXPECT_EQ(lost.headers["content-length"], std::to_string(page404.size()));
    EXPECT_EQ(e2e::post(site.port(), "/hello.txt", "a=1").body, page501);
    // HEAD gets the length of the page, not the page.
    e2e::Response head = request(site.port(), "HEAD /missing.html HTTP/1.0\r\n");
    EXPECT_EQ(head.status, 404);
    EXPECT_EQ(head.headers["content-length"], std::to_string(page404.size()));
    EXPECT_EQ(head.body, "");
    // An answer without a page of its own keeps the host's.
    e2e::Response big = request(site.port(), "GET /" + std::string(5000, 'a') + " HTTP/1.0\r\n");
    EXPECT_EQ(big.status, 414);
    EXPECT_NE(big.body.find("414 URI Too Long"), std::string::npos);
}

// The fields of one combined-format line.
struct AccessLine {
    std::string address, user, time, request, status, bytes, referer, agent;
};

std::vector<AccessLine> access_lines(const std::string &root) {
    static const std::regex kLine(
        R"re(^(\S+) - (\S+) \[(\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4})\] "(.*)" (\d{3}) (\d+) "(.*)" "(.*)"$)re");
    std::vector<AccessLine> out;
    std::string text = e2e::read_file(root + "/access.log");
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        std::smatch m;
        if (!std::regex_match(line, m, kLine)) {
            ADD_FAILURE() << "not a combined-format line: " << line;
            continue;
        }
        out.push_back({m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]});
    }
    return out;
}

TEST(WebAccessLog, OneCombinedLinePerRequestReopenedOnHangup) {
    e2e::WebSite site({"--trusted-proxy", "127.0.0.2"});
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();
    const std::string root = site.root.path();
    request(site.port(), "GET /hello.txt HTTP/1.1\r\nHost: shop\r\nReferer: http://shop/\r\nUser-Agent: Test \"Agent\"/1.0\r\n");
    request(site.port(), "GET /missing.html HTTP/1.0\r\nAuthorization: Basic YWxpY2U6c2VjcmV0\r\n");
    request(site.port(), "GET /test/hello HTTP/1.0\r\nX-Forwarded-For: 198.51.100.7\r\n", "127.0.0.2");
    std::string tag = e2e::get(site.port(), "/style.css").headers["etag"];
    request(site.port(), "GET /style.css HTTP/1.0\r\nIf-None-Match: " + tag + "\r\n");

    std::vector<AccessLine> lines;
    for (int i = 0; i < 100 && lines.size() < 5; ++i) {
        std::this_thread::sleep_for(20ms);
        lines = access_lines(root);
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].address, "127.0.0.1");
    EXPECT_EQ(lines[0].user, "-");
    EXPECT_EQ(lines[0].request, "GET /hello.txt HTTP/1.1");
    EXPECT_EQ(lines[0].status, "200");
    EXPECT_EQ(lines[0].bytes, "15");
    EXPECT_EQ(lines[0].referer, "http://shop/");
    EXPECT_EQ(lines[0].agent, "Test \\x22Agent\\x22/1.0");
    EXPECT_EQ(lines[1].user, "alice");
    EXPECT_EQ(lines[1].status, "404");
    EXPECT_EQ(lines[1].referer, "-");
    // The shopper as the mall sees it, behind the trusted proxy; a module's page with its status.
    EXPECT_EQ(lines[2].address, "198.51.100.7");
    EXPECT_EQ(lines[2].request, "GET /test/hello HTTP/1.0");
    EXPECT_EQ(lines[2].status, "200");
    EXPECT_EQ(lines[2].bytes, "6");
    EXPECT_EQ(lines[3].bytes, "18");
    EXPECT_EQ(lines[4].status, "304");
    EXPECT_EQ(lines[4].bytes, "0");

    // logrotate moves the log away and sends SIGHUP: the next line starts a new access.log.
    ASSERT_EQ(std::rename((root + "/access.log").c_str(), (root + "/access.log.1").c_str()), 0);
    ASSERT_EQ(kill(site.host->pid(), SIGHUP), 0);
    std::this_thread::sleep_for(200ms);
    request(site.port(), "GET /hello.txt HTTP/1.0\r\n");
    std::vector<AccessLine> fresh;
    for (int i = 0; i < 100 && fresh.empty(); ++i) {
        std::this_thread::sleep_for(20ms);
        fresh = access_lines(root);
    }
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].request, "GET /hello.txt HTTP/1.0");
    EXPECT_NE(e2e::read_file(root + "/access.log.1").find("GET /style.css"), std::string::npos);
    EXPECT_EQ(site.host->stop(), 0);
}

}  // namespace
