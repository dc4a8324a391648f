// Connections against a real hostd: clients that trickle their request hold no channel and
// are cut off at the request's deadline however they trickle; caps on open connections close
// the newest at once, per address and in all.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/web_util.h"

namespace {

using namespace std::chrono_literals;
using e2e::Client;

std::string Address(int n) { return "127.0." + std::to_string(3 + n / 250) + "." + std::to_string(1 + n % 250); }

TEST(Connections, ClientsThatTrickleTheirRequestHoldNoChannelAndMeetTheDeadline) {
    if (!e2e::postgres_socket().empty()) GTEST_SKIP() << "nothing of the data files here: once, on SQLite, is enough";
    e2e::WebSite site;
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();
    // More tricklers than the host has channels, each sending a byte of its headers a second.
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 300; ++i) {
        slow.push_back(std::make_unique<Client>(site.port(), Address(i)));
        ASSERT_TRUE(slow.back()->connected()) << i;
        ASSERT_TRUE(slow.back()->send("GET /test/hello HTTP/1.1\r\nX-Slow: ")) << i;
    }
    auto start = std::chrono::steady_clock::now();
    int served = 0;
    while (std::chrono::steady_clock::now() - start < 8s) {
        for (auto &client : slow) client->send("a");
        // A shopper meanwhile gets the page at once.
        EXPECT_EQ(e2e::get(site.port(), "/test/hello", "127.0.2.1").body, "hello\n");
        ++served;
        std::this_thread::sleep_for(1s);
    }
    EXPECT_GE(served, 5);
    // Ten seconds after they connected, each is answered 408 and closed, trickling or not.
    for (size_t i = 0; i < slow.size(); ++i) {
        slow[i]->send("a");
        ASSERT_TRUE(slow[i]->read_to_end(6000)) << i;
        EXPECT_EQ(e2e::parse_response(slow[i]->received).status, 408) << i;
    }
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LE(waited, 14s);
    EXPECT_EQ(e2e::get(site.port(), "/test/hello").body, "hello\n");
}

TEST(Connections, ABodyMayTakeLongerThanTheHeadersButNotForever) {
    if (!e2e::postgres_socket().empty()) GTEST_SKIP() << "nothing of the data files here: once, on SQLite, is enough";
    e2e::WebSite &site = e2e::shared_site();
    ASSERT_TRUE(site.host->ready());
    // Headers at once, then a 20-byte body a byte every 0.7 seconds: a short body has ten
    // seconds from the end of the headers, however its bytes trickle, and this one is cut off.
    Client body(site.port());
    ASSERT_TRUE(body.send("POST /test/echo HTTP/1.0\r\nContent-Length: 20\r\n\r\n"));
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    for (int i = 0; i < 20 && !closed; ++i) {
        body.send("b");
        closed = body.read_some(700) == 0 || body.received.find("408") != std::string::npos;
    }
    ASSERT_TRUE(body.read_to_end(8000));
    EXPECT_EQ(e2e::parse_response(body.received).status, 408);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9s);
    // Refused before it had a channel, and logged all the same.
    EXPECT_TRUE(e2e::wait_for_text(site.root.file("access.log"), "\"POST /test/echo HTTP/1.0\" 408 ", 3000))
        << e2e::read_file(site.root.file("access.log"));
}

// The count of a closed connection goes once the host has seen its end: a while after the
// client has closed it.
bool ServedSoon(int port, const std::string &from) {
    for (int i = 0; i < 40; ++i) {
        if (e2e::get(port, "/test/hello", from).body == "hello\n") return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST(Connections, OverACapTheNewestConnectionIsClosedAtOnce) {
    if (!e2e::postgres_socket().empty()) GTEST_SKIP() << "nothing of the data files here: once, on SQLite, is enough";
    e2e::WebSite site({"--max-connections", "12", "--max-per-address", "4"});
    ASSERT_TRUE(site.host->ready()) << site.host->stderr_text();
    const int port = site.port();

    // Four idle connections from one address; the fifth from it is closed at once, while another
    // address is served.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 4; ++i) idle.push_back(std::make_unique<Client>(port, "127.0.9.1"));
    std::this_thread::sleep_for(200ms);
    Client fifth(port, "127.0.9.1");
    EXPECT_EQ(fifth.read_some(3000), 0) << "not closed";
    EXPECT_EQ(fifth.received, "");
    for (auto &client : idle) EXPECT_EQ(client->read_some(100), -1) << "an older connection was closed";
    EXPECT_EQ(e2e::get(port, "/test/hello", "127.0.9.2").body, "hello\n");
    // One of the four leaves: the address may connect again.
    idle.pop_back();
    EXPECT_TRUE(ServedSoon(port, "127.0.9.1"));
    // The host counts a connection until it has seen the peer's end after the answer.
    std::this_thread::sleep_for(300ms);

    // Eight more from other addresses make twelve open in all: the next is closed at once,
    // whoever it is.
    idle.push_back(std::make_unique<Client>(port, "127.0.9.1"));
    for (int i = 0; i < 8; ++i) idle.push_back(std::make_unique<Client>(port, "127.0.10." + std::to_string(i + 1)));
    std::this_thread::sleep_for(200ms);
    Client over(port, "127.0.11.1");
    EXPECT_EQ(over.read_some(3000), 0);
    EXPECT_EQ(e2e::get(port, "/test/hello", "127.0.11.2").status, 0);
    idle.clear();
    EXPECT_TRUE(ServedSoon(port, "127.0.11.2"));
    EXPECT_NE(e2e::read_file(site.root.file("trace.log")).find("closed at once"), std::string::npos);
}

}  // namespace
