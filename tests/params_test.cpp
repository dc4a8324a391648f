// Request parameters and the decoders behind them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "web/params.h"

namespace {

std::string Url(const char *text) {
    char buf[512];
    std::strncpy(buf, text, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    UrlDecode(buf);
    return buf;
}

TEST(UrlDecode, PercentSequencesAndPlus) {
    EXPECT_EQ(Url("%41%4a%4A"), "AJJ");
    EXPECT_EQ(Url("a+b"), "a b");
    EXPECT_EQ(Url("%zz and %4"), "%zz and %4") << "a % without two hex digits stays";
    EXPECT_EQ(Url("100%"), "100%");
    EXPECT_EQ(Url("%2541"), "%41") << "one pass only";
    EXPECT_EQ(Url("caf%C3%A9"), "caf\xC3\xA9");
}

std::string B64(const char *text, int *result = nullptr, size_t out_size = kDecodeSize) {
    char in[1024];
    std::strncpy(in, text, sizeof in - 1);
    in[sizeof in - 1] = '\0';
    char out[kDecodeSize + 8];
    std::memset(out, 'x', sizeof out);
    int n = Base64Decode(in, out, out_size);
    if (result) *result = n;
    return out;
}

TEST(Base64Decode, PaddingSkippingAndIncompleteGroups) {
    EXPECT_EQ(B64("YWxpY2U6c2VjcmV0"), "alice:secret");
    EXPECT_EQ(B64("YQ=="), "a");
    EXPECT_EQ(B64("YWI="), "ab");
    EXPECT_EQ(B64("YW Jj\n"), "abc") << "characters outside the alphabet are skipped";
    EXPECT_EQ(B64("YWJjZA"), "abc") << "an incomplete last group without padding is dropped";
    EXPECT_EQ(B64("YWJj   "), "abc") << "trailing blanks are removed";
    EXPECT_EQ(B64("YQ==YWJj"), "a") << "decoding stops at '='";
}

TEST(Base64Decode, NeverWritesPastItsBuffer) {
    std::string long_text(400, 'Q');  // 300 bytes decoded
    int result = 0;
    std::string out = B64(long_text.c_str(), &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out.size(), static_cast<size_t>(kDecodeSize - 1));
    std::string exact(340, 'Q');  // 255 bytes: fits with its terminator
    out = B64(exact.c_str(), &result);
    EXPECT_EQ(result, 255);
}

// GetParam reads the current channel's web record, as the host sets it for a request.
struct Request {
    HostWebRecord web{};
    std::string url, body;
    Request(const char *method, const char *url_text, const char *body_text = "") : url(url_text), body(body_text) {
        std::strncpy(web.method, method, sizeof web.method - 1);
        web.url = url.data();
        web.body = body.data();
        web.request = url.data();
        _vdaptr = &web;
    }
    ~Request() { _vdaptr = nullptr; }
};

TEST(GetParam, GetReadsTheQueryIgnoringCase) {
    Request r("GET", "/webmall?CMD=storelist&sid=ACME&SIDX=no&SID=second");
    EXPECT_STREQ(GetParam("cmd"), "storelist");
    EXPECT_STREQ(GetParam("SID"), "ACME") << "the first match wins; SIDX is another name";
    EXPECT_STREQ(GetParam("DID"), "");
    EXPECT_STREQ(GetParam("SI"), "") << "a name must be followed by '='";
}

TEST(GetParam, EachValueIsDecodedOnceAndCut) {
    std::string url = "/webmall?K=%2541&PID=RED+SHIRT&V=" + std::string(300, 'v') + "&W=" + std::string(300, '%');
    Request r("get", url.c_str());
    EXPECT_STREQ(GetParam("K"), "%41");
    EXPECT_STREQ(GetParam("PID"), "RED SHIRT");
    EXPECT_STREQ(GetParam("K"), "%41") << "a later call decodes the value no further";
    EXPECT_EQ(std::strlen(GetParam("V")), 255u);
    EXPECT_EQ(std::string(GetParam("W")), std::string(255, '%'));
    std::string encoded;
    for (int i = 0; i < 300; ++i) encoded += "%41";
    std::string url2 = "/webmall?E=" + encoded;
    Request r2("GET", url2.c_str());
    EXPECT_EQ(std::string(GetParam("E")), std::string(255, 'A')) << "cut after decoding";
}

TEST(GetParam, EncodedSeparatorsStayInTheirValue) {
    Request r("GET", "/webmall?ADDR=Barn+%26+Field%3D1&B=y&PHONE=%2B44+20+7946+0958&EMAIL=ann%2Bshop%40example.com");
    EXPECT_STREQ(GetParam("B"), "y");
    EXPECT_STREQ(GetParam("ADDR"), "Barn & Field=1");
    EXPECT_STREQ(GetParam("PHONE"), "+44 20 7946 0958");
    EXPECT_STREQ(GetParam("EMAIL"), "ann+shop@example.com");
    EXPECT_STREQ(GetParam("ADDR"), "Barn & Field=1") << "the same value whatever was read before";
    Request r2("GET", "/webmall?A=x%26B%3Dy");
    EXPECT_STREQ(GetParam("B"), "") << "an encoded '&' does not start a parameter";
    EXPECT_STREQ(GetParam("A"), "x&B=y");
}

TEST(GetParam, PostReadsOnlyTheBodyAndGetOnlyTheQuery) {
    {
        Request r("POST", "/webmall?CMD=fromquery", "CMD=submit&EMAIL=a%40b.example");
        EXPECT_STREQ(GetParam("CMD"), "submit");
        EXPECT_STREQ(GetParam("EMAIL"), "a@b.example");
    }
    {
        Request r("GET", "/webmall", "CMD=frombody");
        EXPECT_STREQ(GetParam("CMD"), "") << "a GET URL without '?' has no parameters";
    }
}

}  // namespace
