// mallctl orders and mallctl order on orders a real hostd took, while it keeps running: the
// listing in key order with its store filter, and one order's record field by field.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <regex>
#include <string>

#include "tests/e2e/purchase_mall.h"

namespace {

using nlohmann::json;
using purchase::Checkout;
using purchase::PurchaseMall;
using purchase::Shopper;
using purchase::Shows;

// The card's expiry a year ahead, as typed and as the card form keeps it (digits only).
std::string Expiry(bool digits) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string year = std::to_string((local.tm_year + 1901) % 100);
    if (year.size() < 2) year = "0" + year;
    return digits ? "01" + year : "01/" + year;
}

Checkout One(const std::string &store, const std::string &product = "P", const std::string &dept = "D") {
    Checkout c;
    c.store = store;
    c.items = {{product, 1, dept}};
    return c;
}

// Four orders in three stores: ACMEX's first, a verified buyer's card order and an anonymous
// download order at ACME, and ACMD's first.
struct OrdersMall : PurchaseMall {
    OrdersMall() {
        const std::string a = Shopper(1), b = Shopper(2);
        EXPECT_TRUE(Shows(Buy(a, One("ACMEX"), "x@example.com"), "DONE inv=[1]"));

        Checkout card;
        card.user = "alice:secret";
        card.items = {{"TEE", 2}, {"RED SHIRT", 3, "SHIRTS", "&R1=1"}};
        card.option = "1";
        card.card = {{"CCNAME", "Joe Card"}, {"CCNUM", "4111 1111 1111 1111"}, {"CCEXP", Expiry(false)},
                     {"CCADDR", "1 Main St"}, {"CCZIP", "62701"}};
        ToTotals(b, card);
        EXPECT_TRUE(Shows(Submit(b, "", {{"IA0", "yes"}, {"IA2", "Blue"}}, card.user), "DONE inv=[1] email=[alice]"));

        EXPECT_TRUE(Shows(Buy(a, One("ACME", "EBOOK", "SHIRTS"), "joe@example.com"), "DONE inv=[2]"));
        EXPECT_TRUE(Shows(Buy(b, One("ACMD"), "d@example.com"), "DONE inv=[1]"));
    }

    // The line mallctl orders prints for a stored order, from the order's own record.
    std::string Line(const std::string &store, int number, const std::string &total, const std::string &buyer) const {
        json order = Order(store, number);
        return store + "\t" + std::to_string(number) + "\t" + order["date"].get<std::string>() + "\t" +
               order["time"].get<std::string>() + "\tSUBMITTED\t" + total + "\t" + buyer + "\n";
    }
};

TEST(MallctlOrders, OneLinePerStoredOrderInKeyOrder) {
    OrdersMall mall;
    const std::string acmd = mall.Line("ACMD", 1, "2.00", "d@example.com");
    const std::string acme1 = mall.Line("ACME", 1, "62.00", "alice");
    const std::string acme2 = mall.Line("ACME", 2, "5.00", "joe@example.com");
    const std::string acmex = mall.Line("ACMEX", 1, "3.00", "x@example.com");

    auto all = mall.Mallctl({"orders"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, acmd + acme1 + acme2 + acmex);
    EXPECT_TRUE(std::regex_match(acmd, std::regex("ACMD\t1\t20[0-9]{2}-[01][0-9]-[0-3][0-9]\t[0-2][0-9]:[0-5][0-9]:[0-5][0-9]"
                                                  "\tSUBMITTED\t2.00\td@example.com\n")))
        << acmd;

    // One store: its neighbour ACMEX is another store, and a store without orders lists none.
    EXPECT_EQ(mall.Mallctl({"orders", "--store", "acme"}).out, acme1 + acme2);
    EXPECT_EQ(mall.Mallctl({"orders", "--store", "ACMEX"}).out, acmex);
    auto none = mall.Mallctl({"orders", "--store", "ACMF"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "");

    EXPECT_EQ(mall.Mallctl({"orders", "--store"}).status, 2);
    EXPECT_EQ(mall.Mallctl({"orders", "--store", "TOOLONGID"}).status, 2);
    EXPECT_EQ(mall.Mallctl({"orders", "ACME"}).status, 2);
}

TEST(MallctlOrder, ShowsEveryFieldOfTheStoredOrder) {
    OrdersMall mall;
    auto shown = mall.Mallctl({"order", "acme", "1"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    json order = json::parse(shown.out);

    std::vector<std::string> keys;
    for (const auto &[key, value] : order.items()) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "answers", "compound_tax", "customer", "date", "handling", "handling_flag", "item_count",
                        "items", "order_number", "origin", "payment", "payment_type", "ship_name", "shipping",
                        "shipping_first", "shipping_more", "status", "store_id", "subtotal", "tax", "tax_rate1",
                        "tax_rate2", "time"}));

    EXPECT_EQ(order["order_number"], 1);
    EXPECT_EQ(order["store_id"], "ACME");
    EXPECT_EQ(order["item_count"], 2);
    EXPECT_EQ(order["payment_type"], 0);  // Visa, bit 0
    // The card number shows only its last four digits; the rest is as the card form kept it.
    EXPECT_EQ(order["payment"], (json{{"holder", "Joe Card"}, {"address", "1 Main St"}, {"zip", "62701"},
                                      {"number", "************1111"}, {"expiry", Expiry(true)}}));
    EXPECT_EQ(shown.out.find("4111111111111111"), std::string::npos);
    EXPECT_EQ(order["customer"]["user_id"], "alice");
    EXPECT_EQ(order["customer"]["bname"], "Joe Buyer");
    EXPECT_EQ(order["customer"]["bcity"], "Springfield");
    EXPECT_EQ(order["customer"]["sname"], "Joe Buyer");
    EXPECT_EQ(order["customer"]["szip"], "62701");
    EXPECT_EQ(order["customer"].size(), 21u);
    EXPECT_EQ(order["shipping_first"], 5.0);
    EXPECT_EQ(order["shipping_more"], 2.0);
    EXPECT_EQ(order["ship_name"], "UPS");
    EXPECT_EQ(order["handling_flag"], 1);
    // 2 x 9.50 + 3 x 10.00; weight 4: 5.00 + 3 x 2.00; handling 1.00 + 2 x 0.50 for the shirts.
    EXPECT_EQ(order["subtotal"], 49.0);
    EXPECT_EQ(order["shipping"], 11.0);
    EXPECT_EQ(order["handling"], 2.0);
    EXPECT_EQ(order["tax"], 0.0);
    EXPECT_EQ(order["tax_rate1"], 0.0);
    EXPECT_EQ(order["tax_rate2"], 0.0);
    EXPECT_EQ(order["compound_tax"], 0);
    EXPECT_EQ(order["status"], "SUBMITTED");
    EXPECT_EQ(order["answers"], (json{"yes", "", "Blue", "", ""}));
    EXPECT_EQ(order["origin"], 0);
    ASSERT_EQ(order["items"].size(), 2u);
    EXPECT_EQ(order["items"][0], (json{{"quantity", 2}, {"dept_id", "SHIRTS"}, {"product_id", "TEE"}, {"name", "Tee"},
                                       {"unit_price", 9.5}, {"handling", 0.0}, {"format1", ""}, {"format2", ""},
                                       {"weight", 1.0}, {"discount", 0.0}}));
    EXPECT_EQ(order["items"][1], (json{{"quantity", 3}, {"dept_id", "SHIRTS"}, {"product_id", "RED SHIRT"},
                                       {"name", "Red shirt"}, {"unit_price", 10.0}, {"handling", 2.0},
                                       {"format1", "Medium"}, {"format2", ""}, {"weight", 3.0}, {"discount", 0.0}}));

    // The anonymous buyer's download: its password after the items, "DOWNLOAD" for a format.
    json download = mall.Order("ACME", 2);
    ASSERT_FALSE(download.is_null());
    EXPECT_EQ(download["origin"], 2);
    EXPECT_EQ(download["password"], "joe@example.com");
    EXPECT_EQ(download["payment_type"], 5);
    EXPECT_EQ(download["payment"]["number"], "");
    EXPECT_EQ(download["ship_name"], "Standard");
    EXPECT_EQ(download["items"][0]["format1"], "DOWNLOAD");
    EXPECT_EQ(download["items"][0]["format2"], "");

    // Orders that are not there.
    for (const std::vector<std::string> &args : {std::vector<std::string>{"order", "ACME", "3"},
                                                 {"order", "ACMEX", "2"}, {"order", "ACME", "x"},
                                                 {"order", "ACME", "0"}}) {
        auto missing = mall.Mallctl(args);
        EXPECT_EQ(missing.status, 1) << args[2];
        EXPECT_EQ(missing.out, "");
        EXPECT_TRUE(Shows(missing.err, "no order"));
    }
    EXPECT_EQ(mall.Mallctl({"order", "ACME"}).status, 2);
}

}  // namespace
