// The web daemon's HTTP edges: refused and stalled requests, requests without a version, the
// files under www/ and nothing beside them, and the shopper's address behind a proxy.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/web_util.h"

namespace {

using e2e::Client;
using namespace std::chrono_literals;

TEST(WebHttp, RefusedRequestsAreAnsweredAndTheNextOneIsServed) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();
    std::string many_lines;
    for (int i = 0; i < 400; ++i) many_lines += "X-Line-" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n";
    const struct {
        std::string request;
        int status;
    } cases[] = {
        {"BAD\r\n\r\n", 400},
        {"GET /a HTTP/1.0 more\r\n\r\n", 400},
        {"GET no-slash HTTP/1.0\r\n\r\n", 400},
        {"GET /a HTTP/1.0\r\nno colon here\r\n\r\n", 400},
        {"GET /a HTTP/1.0\r\nX: 1\r\n folded\r\n\r\n", 400},
        {"GET /" + std::string(5000, 'a') + " HTTP/1.0\r\n\r\n", 414},
        {"GET /" + std::string(100000, 'a'), 414},
        {"GET / HTTP/1.0\r\nX-Big: " + std::string(20000, 'y') + "\r\n\r\n", 431},
        {"GET / HTTP/1.0\r\n" + many_lines + "\r\n", 431},
        {"POST /test/echo HTTP/1.0\r\nContent-Length: 2000000\r\n\r\n" + std::string(200000, 'z'), 413},
        {"POST /test/echo HTTP/1.0\r\nContent-Length: 12abc\r\n\r\n", 400},
        {"POST /test/echo HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400},
        {"POST /test/echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 501},
        {"GET / HTTP/2.0\r\n\r\n", 505},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        e2e::Response r = e2e::parse_response(e2e::http_raw(site.port(), c.request));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.headers["connection"], "close");
        EXPECT_EQ(r.headers["content-length"], std::to_string(r.body.size()));
        EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");
    }
}

TEST(WebHttp, StalledRequestIsClosedAfterTheReadTimeout) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    auto start = std::chrono::steady_clock::now();
    Client half(site.port());
    half.send("GET /test/hello HTTP/1.1\r\nHost: shop\r\n");
    Client silent(site.port());
    // Others are served while these two wait.
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");

    EXPECT_TRUE(half.read_to_end(15000));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 9s);
    EXPECT_LE(waited, 13s);
    EXPECT_EQ(e2e::parse_response(half.received).status, 408);
    EXPECT_TRUE(silent.read_to_end(3000));
    EXPECT_EQ(silent.received, "");
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");
}

TEST(WebHttp, RequestWithoutVersionGetsTheBodyOnly) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    EXPECT_EQ(e2e::http_raw(site.port(), "GET /test/peer\r\n"), "peer=127.0.0.1\n");
    EXPECT_EQ(e2e::http_raw(site.port(), "GET /hello.txt\r\n"), "hello from www\n");
    std::string missing = e2e::http_raw(site.port(), "GET /missing.txt\r\n");
    EXPECT_EQ(missing.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(missing.find("404 Not Found"), std::string::npos);
}

TEST(WebStatic, FilesUnderWwwComeWithTheirType) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    e2e::Response r = e2e::get(site.port(), "/hello.txt");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "text/plain; charset=utf-8");
    EXPECT_EQ(r.headers["content-length"], "15");
    EXPECT_EQ(r.body, "hello from www\n");

    r = e2e::parse_response(e2e::http_raw(site.port(), "HEAD /hello.txt HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-length"], "15");
    EXPECT_EQ(r.body, "");

    const struct {
        const char *path, *type, *body;
    } files[] = {
        {"/", "text/html; charset=utf-8", "<p>home page</p>\n"},
        {"/style.css", "text/css; charset=utf-8", "p { color: red; }\n"},
        {"/hello%2Etxt?x=1", "text/plain; charset=utf-8", "hello from www\n"},
        // The shop's files are found whatever the letter case of their names.
        {"/kvzsv/acme/logo.gif", "image/gif", "GIF89a-not-really"},
        {"/KVZSV\\ACME\\Logo.GIF", "image/gif", "GIF89a-not-really"},
    };
    for (const auto &f : files) {
        SCOPED_TRACE(f.path);
        r = e2e::get(site.port(), f.path);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.headers["content-type"], f.type);
        EXPECT_EQ(r.body, f.body);
    }
}

TEST(WebStatic, NothingOutsideWwwAndNoListings) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    const char *paths[] = {
        "/missing.html", "/webmall?CMD=storelist", "/WEBMALL", "/KVZSV/ACME/Icons/", "/KVZSV/",
        "/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt", "/..%2fsecret.txt",
        "/KVZSV/../../secret.txt", "/..\\secret.txt", "/%2e%2e%5csecret.txt", "/leak.txt", "/up/secret.txt",
        "/hello.txt%00.png",
    };
    for (const char *path : paths) {
        SCOPED_TRACE(path);
        e2e::Response r = e2e::get(site.port(), path);
        EXPECT_EQ(r.status, 404);
        EXPECT_EQ(r.raw.find("top secret"), std::string::npos);
        EXPECT_EQ(r.raw.find("Icons"), std::string::npos);
    }
    e2e::Response r = e2e::post(site.port(), "/hello.txt", "a=1");
    EXPECT_EQ(r.status, 501);
}

TEST(WebDaemon, PortInUseIsAStartupErrorNamingTheAddress) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    const std::string port = std::to_string(site.port());
    e2e::WebSite second({"--port", port});
    EXPECT_FALSE(second.host->ready());
    EXPECT_EQ(second.host->stop(), 1);
    EXPECT_NE(second.host->stderr_text().find("cannot listen on 127.0.0.1:" + port), std::string::npos)
        << second.host->stderr_text();
    e2e::WebSite proxy({"--trusted-proxy", "nowhere"});
    EXPECT_FALSE(proxy.host->ready());
    EXPECT_NE(proxy.host->stderr_text().find("--trusted-proxy nowhere"), std::string::npos);
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");
}

TEST(WebPeer, ForwardedForCountsOnlyFromTheTrustedProxy) {
    e2e::WebSite site({"--trusted-proxy", "127.0.0.2"});
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();
    auto peer = [&site](const std::string &from, const std::string &forwarded) {
        std::string request = "GET /test/peer HTTP/1.0\r\n";
        if (!forwarded.empty()) request += "X-Forwarded-For: " + forwarded + "\r\n";
        return e2e::parse_response(e2e::http_raw(site.port(), request + "\r\n", from)).body;
    };
    EXPECT_EQ(peer("127.0.0.2", "203.0.113.9, 198.51.100.7"), "peer=198.51.100.7\n");
    EXPECT_EQ(peer("127.0.0.2", ""), "peer=127.0.0.2\n");
    EXPECT_EQ(peer("127.0.0.2", "unknown"), "peer=127.0.0.2\n");
    EXPECT_EQ(peer("127.0.0.3", "198.51.100.7"), "peer=127.0.0.3\n");

    // Without the option the header counts from nobody.
    e2e::WebSite &plain = e2e::shared_site();
    ASSERT_TRUE(plain.host->ready());
    std::string raw = e2e::http_raw(plain.port(), "GET /test/peer HTTP/1.0\r\nX-Forwarded-For: 198.51.100.7\r\n\r\n",
                                    "127.0.0.2");
    EXPECT_EQ(e2e::parse_response(raw).body, "peer=127.0.0.2\n");
}

}  // namespace
