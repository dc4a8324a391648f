// The texts of the host's HTTP answers and of its access log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "host/access_log.h"
#include "host/http_answer.h"

namespace {

TEST(HostAnswers, HttpDatesAreTheFixedFormInGmtBothWays) {
    EXPECT_EQ(host::http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    std::time_t t = 0;
    ASSERT_TRUE(host::parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT", &t));
    EXPECT_EQ(t, 784111777);
    const std::time_t now = std::time(nullptr);
    ASSERT_TRUE(host::parse_http_date(host::http_date(now), &t));
    EXPECT_EQ(t, now);
    // The old forms, another zone, a month that is none and plain words are no dates.
    for (const char *text : {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
                             "Sun, 06 Nov 1994 08:49:37 CET", "Sun, 06 Foo 1994 08:49:37 GMT", "", "yesterday"})
        EXPECT_FALSE(host::parse_http_date(text, &t)) << text;
}

TEST(HostAnswers, AccessLinesAreTheCombinedFormat) {
    const char *saved = std::getenv("TZ");
    const std::string old_zone = saved != nullptr ? saved : "";
    setenv("TZ", "XST8", 1);  // eight hours behind, in the POSIX form: no zone files needed
    tzset();
    host::AccessEntry e;
    e.address = "203.0.113.7";
    e.when = 784111777;
    e.request_line = "GET /webmall?CMD=storelist HTTP/1.1";
    e.status = 200;
    e.body_bytes = 5120;
    e.user_agent = "Mozilla/5.0";
    EXPECT_EQ(host::access_line(e), "203.0.113.7 - - [06/Nov/1994:00:49:37 -0800] \"GET /webmall?CMD=storelist HTTP/1.1\" "
                                    "200 5120 \"-\" \"Mozilla/5.0\"");
    // What a browser sends cannot break the line or its quotes.
    e.user = "bob";
    e.referer = "http://x/\"a\\b";
    e.request_line = "GET /a\tb HTTP/1.0";
    EXPECT_EQ(host::access_line(e), "203.0.113.7 - bob [06/Nov/1994:00:49:37 -0800] \"GET /a\\x09b HTTP/1.0\" "
                                    "200 5120 \"http://x/\\x22a\\x5Cb\" \"Mozilla/5.0\"");
    if (saved != nullptr) setenv("TZ", old_zone.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(HostAnswers, TheUserOfABasicHeader) {
    EXPECT_EQ(host::basic_user("Basic YWxpY2U6c2VjcmV0"), "alice");   // alice:secret
    EXPECT_EQ(host::basic_user("basic  Ym9iOg=="), "bob");            // bob:
    EXPECT_EQ(host::basic_user("Bearer abc"), "");
    EXPECT_EQ(host::basic_user(""), "");
}

}  // namespace
