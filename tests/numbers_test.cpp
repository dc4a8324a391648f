// Number, path and address texts made without printf must be the very texts printf, snprintf
// and inet_ntop give: pages, image paths and log lines are compared byte for byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "host/access_log.h"
#include "shell/numbers.h"

// Weights and discounts are shown with four decimals: every value a float can hold in the
// ranges a catalogue uses, halves of the last place and the extremes, as printf writes them.
TEST(NumberTexts, FixedDecimalsAreWhatPrintfWrites) {
    int mismatches = 0;
    auto check = [&](float value, int decimals) {
        char want[48], got[48];
        std::snprintf(want, sizeof want, "%1.*f", decimals, static_cast<double>(value));
        FixedText(value, decimals, got, sizeof got);
        if (std::strcmp(got, want) != 0 && ++mismatches <= 5)
            ADD_FAILURE() << value << " with " << decimals << " decimals: " << got << " instead of " << want;
    };
    for (int step = -100000; step <= 100000; ++step) {
        check(static_cast<float>(step) / 10000.0f, 4);
        check(static_cast<float>(step) * 0.00005f, 4);  // halves of the fourth decimal
        check(static_cast<float>(step) * 12.345f, 4);
        check(static_cast<float>(step) * 0.0005f, 3);
        check(static_cast<float>(step) * 0.05f, 1);
        check(static_cast<float>(step) * 0.5f, 0);
    }
    std::mt19937 random(12345);
    for (int i = 0; i < 300000; ++i) {
        uint32_t bits = random();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        check(value, static_cast<int>(bits % 7));
    }
    for (float value : {0.0f, -0.0f, -0.00004f, 0.00005f, 0.00015f, 2.67575f, 9e11f, -9e11f, 1e12f, 1e20f,
                        INFINITY, -INFINITY, NAN})
        for (int decimals = 0; decimals <= 6; ++decimals) check(value, decimals);
    EXPECT_EQ(mismatches, 0);
}

// A text too long for its buffer is cut where snprintf cuts it.
TEST(NumberTexts, ACutTextEndsWhereSnprintfEndsIt) {
    volatile float value = -12345.678f;
    char want[8], got[8];
    std::snprintf(want, sizeof want, "%1.4f", static_cast<double>(value));
    FixedText(value, 4, got, sizeof got);
    EXPECT_STREQ(got, want);
    EXPECT_STREQ(got, "-12345.");
}

TEST(NumberTexts, JoinedPartsAreCutAndReportedWhenTheyDoNotFit) {
    char out[12];
    EXPECT_TRUE(JoinTexts(out, sizeof out, {"KVZSV/", "ACME", "/"}));
    EXPECT_STREQ(out, "KVZSV/ACME/");
    EXPECT_FALSE(JoinTexts(out, sizeof out, {"KVZSV/", "ACME", "/x"}));  // one byte too many
    EXPECT_STREQ(out, "KVZSV/ACME/");
    EXPECT_FALSE(JoinTexts(out, sizeof out, {"KVZSV/BYTEBAY/", "a.gif"}));
    EXPECT_STREQ(out, "KVZSV/BYTEB");
    EXPECT_TRUE(JoinTexts(out, sizeof out, {"", ""}));
    EXPECT_STREQ(out, "");
}

// The trace line's peer and the access log's address: every byte value in every place.
TEST(NumberTexts, AddressesAreWrittenAsInetNtopWritesThem) {
    for (unsigned byte = 0; byte < 256; ++byte) {
        for (int place = 0; place < 4; ++place) {
            unsigned char raw[4] = {127, 0, 0, 1};
            raw[place] = static_cast<unsigned char>(byte);
            in_addr address;
            std::memcpy(&address.s_addr, raw, 4);
            char want[INET_ADDRSTRLEN], quad[16];
            inet_ntop(AF_INET, &address, want, sizeof want);
            ASSERT_STREQ(DottedQuad(address, quad), want);
            ASSERT_EQ(host::address_text(address), want);
        }
    }
}
