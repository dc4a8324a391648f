// The web daemon with a module that streams from status calls: whole bodies, slow and idle
// readers, every channel in use, the host's own answers and the hooks' view of a request.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/web_util.h"

namespace {

using e2e::Client;
using namespace std::chrono_literals;

// The first byte where got differs from want, or -1 when they are equal.
long first_difference(const std::string &got, const std::string &want) {
    size_t n = std::min(got.size(), want.size());
    for (size_t i = 0; i < n; ++i)
        if (got[i] != want[i]) return static_cast<long>(i);
    return got.size() == want.size() ? -1 : static_cast<long>(n);
}

std::string body_of(const std::string &raw) {
    size_t end = raw.find("\r\n\r\n");
    return end == std::string::npos ? "" : raw.substr(end + 4);
}

bool spool_empty(const e2e::WebSite &site, int wait_ms = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!e2e::list_dir(site.root.file("KVZSVTMP")).empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

long status_calls(int port) {
    e2e::Response r = e2e::get(port, "/test/calls");
    size_t at = r.body.find("status_calls=");
    return at == std::string::npos ? -1 : std::atol(r.body.c_str() + at + 13);
}

TEST(WebStreaming, BodySentPieceByPieceArrivesByteForByte) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();

    e2e::Response r = e2e::get(site.port(), "/test/big?n=1048576");
    EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK: ");
    EXPECT_EQ(r.headers["content-type"], "application/octet-stream");
    EXPECT_EQ(r.body.size(), 1048576u);
    EXPECT_EQ(first_difference(r.body, e2e::big_pattern(1048576)), -1);
    EXPECT_TRUE(spool_empty(site));

    // Without a version the body comes alone; an empty page is just its head.
    std::string old = e2e::http_raw(site.port(), "GET /test/big?n=100000\r\n");
    EXPECT_EQ(first_difference(old, e2e::big_pattern(100000)), -1);
    r = e2e::get(site.port(), "/test/big?n=0");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
    EXPECT_TRUE(spool_empty(site));
}

TEST(WebStreaming, SlowReaderCostsTheHostNoCpu) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    const size_t size = 8u << 20;
    Client slow(site.port(), "127.0.0.1", 8192);
    ASSERT_TRUE(slow.send("GET /test/big?n=" + std::to_string(size) + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(slow.read_until("\r\n\r\n", 5000));

    long calls_before = status_calls(site.port());
    double cpu_before = site.host->cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    // A few KB every 100 ms, with a pause of two seconds in the middle.
    while (std::chrono::steady_clock::now() - start < 5s) {
        auto at = std::chrono::steady_clock::now() - start;
        if (at < 1500ms || at > 3500ms) slow.read_some(100, 4096);
        std::this_thread::sleep_for(100ms);
    }
    double cpu = site.host->cpu_seconds() - cpu_before;
    long calls = status_calls(site.port()) - calls_before;
    // The transfer is still going: the spool file goes only once everything is sent.
    EXPECT_FALSE(e2e::list_dir(site.root.file("KVZSVTMP")).empty());
    EXPECT_LT(cpu, 0.5) << calls << " status calls";
    // A clock tick or some output taken per call; a spinning loop would make millions.
    EXPECT_LT(calls, 1500);

    ASSERT_TRUE(slow.read_to_end(30000));
    EXPECT_EQ(first_difference(body_of(slow.received), e2e::big_pattern(size)), -1);
    EXPECT_TRUE(spool_empty(site));
}

TEST(WebStreaming, IdleTransferIsClosedWithAnswer56) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    const size_t size = 16u << 20;
    Client idle(site.port(), "127.0.0.1", 8192);
    // The module gives up on a transfer idle for a second; this reader reads nothing for two.
    ASSERT_TRUE(idle.send("GET /test/big?idle=1&n=" + std::to_string(size) + " HTTP/1.0\r\n\r\n"));
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(spool_empty(site));
    ASSERT_TRUE(idle.read_to_end(10000));
    std::string body = body_of(idle.received);
    EXPECT_EQ(idle.received.rfind("HTTP/1.0 200 OK: \r\n", 0), 0u);
    EXPECT_GT(body.size(), 0u);
    EXPECT_LT(body.size(), size);
    EXPECT_EQ(first_difference(body, e2e::big_pattern(size).substr(0, body.size())), -1);
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");
}

TEST(WebChannels, EveryChannelIsServedAndTheNextConnectionWaitsForOne) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 256; ++i) {
        held.push_back(std::make_unique<Client>(site.port()));
        ASSERT_TRUE(held.back()->send("GET /test/gate HTTP/1.0\r\n\r\n")) << i;
    }
    std::vector<std::string> waiting(256);
    std::set<std::string> channels;
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(held[i]->read_until("waiting\n", 5000)) << i;
        waiting[i] = body_of(held[i]->received);
        channels.insert(waiting[i]);
    }
    EXPECT_EQ(channels.size(), 256u) << "two connections were given one channel";

    Client next(site.port());
    ASSERT_TRUE(next.connected());
    ASSERT_TRUE(next.send("GET /test/echo HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(next.read_some(500), -1) << "answered while every channel was in use";

    // One shopper leaves: the waiting connection gets that channel.
    const std::string freed = waiting[0].substr(0, waiting[0].find(' '));
    held[0]->close();
    EXPECT_TRUE(next.read_to_end(5000));
    EXPECT_NE(body_of(next.received).find("\n" + freed + " module="), std::string::npos)
        << "the waiting connection is not on the freed " << freed << ":\n" << body_of(next.received);

    e2e::write_file(site.root.file("gate-open"), "");
    for (int i = 1; i < 256; ++i) {
        EXPECT_TRUE(held[i]->read_to_end(5000)) << i;
        EXPECT_EQ(body_of(held[i]->received), waiting[i] + "released\n") << i;
    }
    std::remove(site.root.file("gate-open").c_str());
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");
}

TEST(WebAnswers, HostAnswersAreCompletePages) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    auto complete = [](const e2e::Response &r) {
        EXPECT_EQ(r.headers.at("content-type"), "text/html; charset=utf-8");
        EXPECT_EQ(r.headers.at("content-length"), std::to_string(r.body.size()));
        EXPECT_EQ(r.headers.at("connection"), "close");
        EXPECT_NE(r.body.find("</html>"), std::string::npos);
    };

    e2e::Response r = e2e::get(site.port(), "/test/bye53");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.headers["www-authenticate"], "Basic realm=\"Web Test Module\"");
    complete(r);

    r = e2e::get(site.port(), "/test/bye54?q=<script>");
    EXPECT_EQ(r.status, 501);
    EXPECT_NE(r.body.find("GET"), std::string::npos);
    EXPECT_NE(r.body.find("/test/bye54?q=&lt;script&gt;"), std::string::npos);
    EXPECT_EQ(r.body.find("<script>"), std::string::npos);
    complete(r);

    r = e2e::parse_response(e2e::http_raw(site.port(), "HEAD /test/bye54 HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(r.status, 501);
    EXPECT_EQ(r.body, "");
    EXPECT_NE(r.headers["content-length"], "0");

    // What the module queued before asking for the answer is not part of it.
    r = e2e::get(site.port(), "/test/bye55");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.raw.find("200 OK"), std::string::npos);
    complete(r);

    std::string old = e2e::http_raw(site.port(), "GET /test/bye55\r\n");
    EXPECT_EQ(old.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(old.find("500 Internal Server Error"), std::string::npos);
}

TEST(WebHooks, HeaderParserSeesEveryLineBeforeTheRequestHandler) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    std::string raw = e2e::http_raw(site.port(),
                                    "GET /test/headers HTTP/1.1\r\n"
                                    "Host: shop.example\r\n"
                                    "authorization:   Basic dXNlcjpwdw==  \r\n"
                                    "X-Testing: not this one\r\n"
                                    "X-Test: this one\r\n"
                                    "Cookie: a=b\r\n\r\n");
    EXPECT_EQ(body_of(raw),
              "order=HHHHHR\n"
              "line=Host: shop.example\n"
              "line=authorization:   Basic dXNlcjpwdw==  \n"
              "line=X-Testing: not this one\n"
              "line=X-Test: this one\n"
              "line=Cookie: a=b\n"
              "authorization=[Basic dXNlcjpwdw==]\n"
              "xtest=[this one]\n");
}

TEST(WebHooks, RequestRecordIsWhatWasSentAndWritable) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    e2e::Response r = e2e::post(site.port(), "/test/echo?a+b", "name=ann&qty=2");
    EXPECT_NE(r.body.find("method=POST\n"), std::string::npos);
    EXPECT_NE(r.body.find("url=/test/echo?a b\nsame_url=1\n"), std::string::npos);
    EXPECT_NE(r.body.find("protocol=100\n"), std::string::npos);
    EXPECT_NE(r.body.find("body=[NAME=ANN&QTY=2]\nbody_in_request=1\n"), std::string::npos);
    EXPECT_NE(r.body.find("request_starts=POST /test/echo?a+b HTTP/1.0\n"), std::string::npos);
    EXPECT_NE(r.body.find("bytes_sent=0 file=none file_name=[]\n"), std::string::npos);
    EXPECT_NE(r.body.find("activity_age=0\n"), std::string::npos);

    // A body that arrives in pieces is the same body; without one it is "".
    Client c(site.port());
    c.send("POST /test/echo HTTP/1.1\r\nHost: x\r\nContent-Len");
    std::this_thread::sleep_for(50ms);
    c.send("gth: 11\r\n\r\nhello");
    std::this_thread::sleep_for(50ms);
    c.send(" world");
    ASSERT_TRUE(c.read_to_end(5000));
    EXPECT_NE(c.received.find("protocol=101\nbody=[HELLO WORLD]\n"), std::string::npos);
    r = e2e::get(site.port(), "/test/echo");
    EXPECT_NE(r.body.find("body=[]\n"), std::string::npos);
}

TEST(WebHooks, OddCallsAndCallsWithoutAChannelDoNoHarm) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    e2e::Response r = e2e::get(site.port(), "/test/odd");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "ok\n");
    std::this_thread::sleep_for(200ms);  // the module's timer makes its stray calls
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");

    // A handler that sends nothing: the connection closes at once, with nothing.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e2e::http_raw(site.port(), "GET /test/nothing HTTP/1.0\r\n\r\n"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(WebHooks, SpoolFileLeftOpenIsClosedAndDeletedWhenTheShopperLeaves) {
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    Client c(site.port());
    c.send("GET /test/leave-file HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(c.read_until("holding KVZSVTMP/", 5000));
    while (body_of(c.received).find('\n') == std::string::npos && c.read_some(5000) > 0) {
    }
    std::string body = body_of(c.received);
    std::string name = body.substr(8, body.find('\n') - 8);
    EXPECT_EQ(e2e::read_file(site.root.file(name)), "left behind\n");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(e2e::file_exists(site.root.file(name))) << "removed while the channel was still open";
    c.close();
    EXPECT_TRUE(spool_empty(site, 3000));
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");
}

}  // namespace
