// Page tables: names ignoring case, stable slots, growth, number texts and bounded buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "template/stable.h"

TEST(STable, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    STable table;
    int slot = table.Set("STOREID", "B");
    EXPECT_EQ(table.Set("storeid", "A"), slot);
    EXPECT_EQ(table.Find("StoreId"), slot);
    EXPECT_STREQ(table.Get("STOREID"), "A");
    EXPECT_STREQ(table.NameAt(slot), "STOREID");
    EXPECT_EQ(table.Find("STOREIDX"), -1);
}

TEST(STable, AbsentIsNullButEmptyIsEmpty) {
    STable table;
    table.Set("C1", "");
    EXPECT_EQ(table.Get("C2"), nullptr);
    ASSERT_NE(table.Get("C1"), nullptr);
    EXPECT_STREQ(table.Get("C1"), "");
    // A null text, e.g. another table's Get of an absent name, is stored as empty.
    table.Set("C2", nullptr);
    ASSERT_NE(table.Get("C2"), nullptr);
    EXPECT_STREQ(table.Get("C2"), "");
}

TEST(STable, StoresCopiesSoCallersMayReuseTheirBuffers) {
    STable table;
    char buffer[16];
    std::strcpy(buffer, "Acme");
    table.Set("STORENAME", buffer);
    std::strcpy(buffer, "Other");
    EXPECT_STREQ(table.Get("STORENAME"), "Acme");
    // Values go in exactly as given: no trimming, no escaping.
    table.Set("STOREDESC", "  <b>Tools & more</b> ");
    EXPECT_STREQ(table.Get("STOREDESC"), "  <b>Tools & more</b> ");
}

TEST(STable, GrowsBySixteenWithoutMovingSlots) {
    STable table(0);
    EXPECT_EQ(table.Capacity(), 16);
    int slots[17];
    char name[16];
    for (int i = 0; i < 17; ++i) {
        std::snprintf(name, sizeof name, "N%d", i);
        slots[i] = table.Set(name, name);
    }
    EXPECT_EQ(table.Capacity(), 32);
    EXPECT_EQ(slots[16], 16);
    for (int i = 0; i < 17; ++i) {
        std::snprintf(name, sizeof name, "N%d", i);
        EXPECT_EQ(slots[i], i);
        EXPECT_EQ(table.Find(name), i);
        EXPECT_STREQ(table.ValueAt(i), name);
    }
    EXPECT_EQ(table.ValueAt(17), nullptr);
    EXPECT_EQ(table.FreeSlot(), 17);
}

TEST(STable, RowsSettingTheSameNamesDoNotGrowTheTable) {
    STable table;
    const char *names[] = {"PRODID", "PRODNAME", "PRODPRICE", "PRODDESC", "PRODICON", "C1"};
    for (int row = 0; row < 25; ++row)
        for (const char *name : names) table.SetLong(name, row);
    EXPECT_EQ(table.Capacity(), 16);
    EXPECT_STREQ(table.Get("prodprice"), "24");
    EXPECT_EQ(table.Find("C1"), 5);
}

TEST(STable, NumberTexts) {
    STable table;
    table.SetLong("A", -5);
    table.SetLong("B", INT32_MIN);
    table.SetFloat("P1", 12.0f);
    table.SetFloat("P2", 0.5f);
    table.SetFloat("P3", -3.456f);
    table.SetFloat("P4", 2.675f); // as a float 2.67499995...
    int slot = table.Set("QTY", "x");
    EXPECT_EQ(table.SetIntAt(slot, 7), slot);
    EXPECT_STREQ(table.Get("A"), "-5");
    EXPECT_STREQ(table.Get("B"), "-2147483648");
    EXPECT_STREQ(table.Get("P1"), "12.00");
    EXPECT_STREQ(table.Get("P2"), "0.50");
    EXPECT_STREQ(table.Get("P3"), "-3.46");
    EXPECT_STREQ(table.Get("P4"), "2.67");
    EXPECT_STREQ(table.Get("QTY"), "7");
    table.SetIntAt(slot, 0);
    EXPECT_STREQ(table.Get("QTY"), "0");
    table.SetIntAt(slot, -1234567890);
    EXPECT_STREQ(table.Get("QTY"), "-1234567890");
    table.SetLong("A", INT32_MAX);
    EXPECT_STREQ(table.Get("A"), "2147483647");
}

TEST(STable, OverlongAmountIsCutNotOverflowed) {
    STable table;
    table.SetFloat("BIG", 1e20f);
    char full[64];
    std::snprintf(full, sizeof full, "%1.2f", static_cast<double>(1e20f));
    ASSERT_NE(table.Get("BIG"), nullptr);
    EXPECT_EQ(std::string(table.Get("BIG")), std::string(full).substr(0, 15));
    table.SetFloat("NEG", -1e30f);
    EXPECT_EQ(std::strlen(table.Get("NEG")), 15u);
    table.SetFloat("NAN", std::nanf(""));
    EXPECT_STREQ(table.Get("NAN"), "nan");
}

TEST(STable, IndexesNotHandedOutAreIgnored) {
    STable table;
    table.Set("A", "1");
    EXPECT_EQ(table.SetAt(-1, "x"), -1);
    EXPECT_EQ(table.SetAt(16, "x"), 16);
    EXPECT_EQ(table.SetIntAt(5, 3), 5); // empty slot: no value without a name
    EXPECT_EQ(table.ValueAt(5), nullptr);
    EXPECT_EQ(table.ValueAt(-1), nullptr);
    EXPECT_EQ(table.FreeSlot(), 1);
    EXPECT_EQ(table.Set(nullptr, "x"), -1);
    EXPECT_STREQ(table.Get("A"), "1");
}

TEST(STable, HundredsOfNamesAreFoundInAnyCaseAcrossGrowth) {
    STable table;
    char name[24], value[24];
    for (int i = 0; i < 300; ++i) {
        std::snprintf(name, sizeof name, "Entry%dx", i);
        std::snprintf(value, sizeof value, "v%d", i);
        ASSERT_EQ(table.Set(name, value), i);
    }
    EXPECT_EQ(table.Capacity(), 304);
    for (int i = 0; i < 300; ++i) {
        std::snprintf(name, sizeof name, "ENTRY%dX", i);
        std::snprintf(value, sizeof value, "v%d", i);
        ASSERT_EQ(table.Find(name), i);
        EXPECT_STREQ(table.Get(name), value);
        std::snprintf(name, sizeof name, "entry%d", i);
        EXPECT_EQ(table.Find(name), -1);
    }
    EXPECT_STREQ(table.NameAt(299), "Entry299x");
    // Names as long as the longest are found; anything longer is no name.
    EXPECT_EQ(table.Find("entry299X"), 299);
    EXPECT_EQ(table.Find("Entry299xx"), -1);
    EXPECT_EQ(table.Find(""), -1);
    EXPECT_EQ(table.NameAt(300), nullptr);
}

TEST(STable, ValuesGrowShrinkAndMayBeSetFromThemselves) {
    STable table;
    int slot = table.Set("DESC", "short");
    const std::string long_text(5000, 'x');
    table.SetAt(slot, long_text.c_str());
    EXPECT_EQ(std::string(table.Get("DESC")), long_text);
    table.SetAt(slot, "ab");
    EXPECT_STREQ(table.Get("DESC"), "ab");
    // The tail of the value itself, as a page might pass a pointer into what Get returned.
    table.SetAt(slot, "prefix:rest");
    table.SetAt(slot, table.Get("DESC") + 7);
    EXPECT_STREQ(table.Get("DESC"), "rest");
    table.SetAt(slot, (std::string(table.Get("DESC")) + std::string(3000, 'y')).c_str());
    EXPECT_EQ(std::strlen(table.Get("DESC")), 3004u);
    // Setting an index that was never handed out does nothing.
    EXPECT_EQ(table.SetAt(7, "z"), 7);
    EXPECT_EQ(table.ValueAt(7), nullptr);
}

// Amounts are written without printf: every text must still be the one "%1.2f" gives, halves
// and signs included, and what is too large for that goes to printf after all.
TEST(STable, AmountTextsAreExactlyWhatPrintfWrites) {
    STable table;
    int mismatches = 0;
    auto check = [&](float value) {
        char want[16];
        std::snprintf(want, sizeof want, "%1.2f", static_cast<double>(value));
        table.SetFloat("AMOUNT", value);
        if (std::strcmp(table.Get("AMOUNT"), want) != 0 && ++mismatches <= 5)
            ADD_FAILURE() << value << ": " << table.Get("AMOUNT") << " instead of " << want;
    };
    for (int step = -100000; step <= 100000; ++step) {
        check(static_cast<float>(step) / 100.0f);
        check(static_cast<float>(step) * 0.005f);  // halves of a cent, as a float holds them
        check(static_cast<float>(step) * 1234.567f);
    }
    for (float value : {0.0f, -0.0f, -0.004f, 0.005f, 0.015f, 2.675f, 1e13f, -1e13f, 9.99e12f, 1e20f,
                        INFINITY, -INFINITY, NAN})
        check(value);
    EXPECT_EQ(mismatches, 0);
}

TEST(STable, EitherTableAnswersTheFirstBeforeTheSecond) {
    STable page, mall;
    page.Set("STOREID", "ACME");
    page.Set("N", "1");
    mall.Set("storeid", "shadowed");
    mall.Set("MALLNAME", "Shopvera Web Mall");
    EXPECT_STREQ(STable::GetEither(&page, &mall, "StoreId"), "ACME");
    EXPECT_STREQ(STable::GetEither(&page, &mall, "mallname"), "Shopvera Web Mall");
    EXPECT_STREQ(STable::GetEither(nullptr, &mall, "STOREID"), "shadowed");
    EXPECT_STREQ(STable::GetEither(&page, nullptr, "n"), "1");
    EXPECT_EQ(STable::GetEither(&page, &mall, "MALLNAMES"), nullptr);
    EXPECT_EQ(STable::GetEither(&page, &mall, "NN"), nullptr);
    EXPECT_EQ(STable::GetEither(nullptr, nullptr, "N"), nullptr);
}
