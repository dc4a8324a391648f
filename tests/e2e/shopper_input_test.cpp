// What a shopper types and orders, end to end in a real hostd: values holding "&", "=", "+" and
// "%" arrive as typed and are stored so; an order takes only choices the product offers and no
// more than the stock of a product without back orders; a refused add leaves no order behind;
// an item whose product left the catalogue can still be taken out; a member account or a
// purchase order is submitted only by its user; and request text never splits a log line.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/purchase_mall.h"

namespace {

using purchase::Checkout;
using purchase::Entry;
using purchase::Fields;
using purchase::Item;
using purchase::PurchaseMall;
using purchase::Shopper;
using purchase::Shows;

// ACME takes cards, pay-later, purchase orders (key BUYER) and member accounts. SHIRT offers the
// sizes Small and Large (choices 0 and 2) of three; CAP requires a size; CHAIR counts its stock of
// 9 without back orders; STOOL counts 2 and takes back orders. PLAIN has no extended record.
const char kCatalogue[] = R"({"stores": [
 {"id": "ACME", "name": "Acme Goods", "mail_user": "sysop", "po_key": "BUYER",
  "extended": {"options": 609, "download_options": 32},
  "departments": [{"id": "D", "name": "Goods"}],
  "formats": [{"name": "SIZE", "choices": ["Small", "Medium", "Large"]}],
  "products": [
   {"department": "D", "id": "SHIRT", "name": "Shirt", "price": 10, "format1": "SIZE", "offered": 5},
   {"department": "D", "id": "CAP", "name": "Cap", "price": 5, "flags": 32, "format1": "SIZE", "offered": 5},
   {"department": "D", "id": "CHAIR", "name": "Chair", "price": 20, "flags": 8, "stock": 9},
   {"department": "D", "id": "STOOL", "name": "Stool", "price": 5, "flags": 24, "stock": 2},
   {"department": "D", "id": "LAMP", "name": "Lamp", "price": 7},
   {"department": "D", "id": "MUG", "name": "Mug", "price": 4}]},
 {"id": "PLAIN", "name": "Plain", "departments": [{"id": "D", "name": "D"}],
  "products": [{"department": "D", "id": "P", "name": "Pen", "price": 3}]}]})";

constexpr char kMore[] = "37: NOT-ALLOWED\n38: NO-SHIPPING\n";

struct Mall : PurchaseMall {
    Mall() : PurchaseMall("", kMore, true, kCatalogue) {}
    std::string Add(const std::string &from, const std::string &product, const std::string &quantity,
                    const std::string &rest = "", const std::string &user = "") const {
        return Get(from, "CMD=order&SID=ACME&DID=D&PID=" + product + "&OrderQuant=" + quantity + rest, user);
    }
    // The cart links as the review form shows them.
    std::string Links(const std::string &from) const { return Entry(Get(from, "CMD=review&SID=ACME"), "links="); }
};

constexpr char kNoLinks[] = "CART-EMPTY|NO-CHECK-OUT|NO-CANCEL";

Checkout Buying(std::vector<Item> items, const std::string &option = "32", const std::string &user = "") {
    Checkout c;
    c.items = std::move(items);
    c.option = option;
    c.user = user;
    return c;
}

TEST(ShopperInput, SeparatorsTypedIntoFieldsAreStoredAndReviewedAsTyped) {
    Mall mall;
    const std::string ann = Shopper(1);
    Checkout c = Buying({{"MUG", 1, "D"}});
    c.details = {{"BNAME", "Ann O'Hara"},  {"BCOMPANY", "1+2 Main"},  {"BADDR1", "Barn & Field = 2"},
                 {"BCITY", "100% Town"},   {"BSTATE", "K&N"},         {"BZIP", "A=1"},
                 {"BPHONE", "+44 1632 960001"}};
    mall.ToTotals(ann, c);
    std::string done = mall.Submit(ann, "ann+shop@example.com");
    ASSERT_TRUE(Shows(done, "DONE inv=[1] email=[ann+shop@example.com]"));

    auto order = mall.Order("ACME", 1);
    ASSERT_FALSE(order.is_null());
    EXPECT_EQ(order["password"], "ann+shop@example.com");
    EXPECT_EQ(order["customer"]["bname"], "Ann O'Hara");
    EXPECT_EQ(order["customer"]["bcompany"], "1+2 Main");
    EXPECT_EQ(order["customer"]["baddr1"], "Barn & Field = 2");
    EXPECT_EQ(order["customer"]["bcity"], "100% Town");
    EXPECT_EQ(order["customer"]["bstate"], "K&N");
    EXPECT_EQ(order["customer"]["bzip"], "A=1");
    EXPECT_EQ(order["customer"]["bphone"], "+44 1632 960001");
    EXPECT_EQ(order["customer"]["sphone"], "+44 1632 960001");

    // The buyer opens the order with the address as typed, by GET and by POST.
    Fields review = {{"CMD", "review"}, {"SID", "ACME"}, {"OID", "1"}, {"PSWORD", "ann+shop@example.com"}};
    for (const std::string &page : {mall.Get(Shopper(2), purchase::Form(review)), mall.Post(Shopper(2), review)}) {
        EXPECT_TRUE(Shows(page, "REVIEW inv=[1] store=[ACME|Acme Goods] email=[ann+shop@example.com]"));
        EXPECT_TRUE(Shows(page, "bill=[Ann O&#39;Hara|1+2 Main|Barn &amp; Field = 2|100% Town|K&amp;N|A=1|"
                                "+44 1632 960001]"));
    }
    // A blank in place of the '+' is another address.
    review.back().second = "ann shop@example.com";
    EXPECT_TRUE(Shows(mall.Post(Shopper(2), review), "ERROR [Invalid order password]"));
}

TEST(ShopperInput, OnlyChoicesTheProductOffersAreOrdered) {
    Mall mall;
    const std::string a = Shopper(1), b = Shopper(2);
    for (const char *choice : {"1", "3", "7", "-5", "99999"}) {
        EXPECT_TRUE(Shows(mall.Add(a, "SHIRT", "1", std::string("&R1=") + choice),
                          "ERROR [Product format(s) not specified]")) << choice;
        EXPECT_TRUE(Shows(mall.Get(a, "CMD=shopcart"), "ERROR [NO-ORDER]")) << choice;
    }
    // A choice for a format the product does not have is not offered either.
    EXPECT_TRUE(Shows(mall.Add(a, "SHIRT", "1", "&R1=0&R2=0"), "ERROR [Product format(s) not specified]"));
    // A required choice must be made; the choice left open is fine where none is required.
    EXPECT_TRUE(Shows(mall.Add(a, "CAP", "1"), "ERROR [Product format(s) not specified]"));
    EXPECT_TRUE(Shows(mall.Add(a, "CAP", "1", "&R1=1"), "ERROR [Product format(s) not specified]"));
    EXPECT_TRUE(Shows(mall.Add(a, "CAP", "1", "&R1=2"), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Add(a, "SHIRT", "2", "&R1=0"), "Item Added to order"));
    // A change to a choice not offered, or to none where one is required, leaves the item alone.
    EXPECT_TRUE(Shows(mall.Add(a, "SHIRT", "3", "&R1=1"), "ERROR [Product format(s) not specified]"));
    EXPECT_TRUE(Shows(mall.Add(a, "CAP", "3"), "ERROR [Product format(s) not specified]"));
    EXPECT_TRUE(Shows(mall.Add(a, "SHIRT", "2", "&R1=2"), "Item Added to order"));

    mall.ToTotals(a, Buying({}));
    ASSERT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1]"));
    auto order = mall.Order("ACME", 1);
    ASSERT_EQ(order["items"].size(), 2u);
    EXPECT_EQ(order["items"][0]["product_id"], "CAP");
    EXPECT_EQ(order["items"][0]["quantity"], 1);
    EXPECT_EQ(order["items"][0]["format1"], "Large");
    EXPECT_EQ(order["items"][1]["product_id"], "SHIRT");
    EXPECT_EQ(order["items"][1]["quantity"], 2);
    EXPECT_EQ(order["items"][1]["format1"], "Large");

    // Without a choice, a product that requires none is ordered as it is.
    EXPECT_TRUE(Shows(mall.Add(b, "SHIRT", "1"), "Item Added to order"));
}

TEST(ShopperInput, AProductWithoutBackOrdersSellsNoMoreThanItsStock) {
    Mall mall;
    const std::string a = Shopper(1);
    EXPECT_TRUE(Shows(mall.Add(a, "CHAIR", "30"), "ERROR [Only 9 in stock: please order 9 or fewer]"));
    EXPECT_TRUE(Shows(mall.Get(a, "CMD=shopcart"), "ERROR [NO-ORDER]"));
    EXPECT_TRUE(Shows(mall.Add(a, "CHAIR", "9"), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Add(a, "CHAIR", "10"), "ERROR [Only 9 in stock: please order 9 or fewer]"));
    // A product that takes back orders still does.
    EXPECT_TRUE(Shows(mall.Add(a, "STOOL", "5"), "Item Added to order"));

    std::string totals = mall.ToTotals(a, Buying({}));
    EXPECT_TRUE(Shows(totals, "ITEM [CHAIR|20.00|180.00]")) << "the change to 10 left 9";
    ASSERT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1]"));
    auto order = mall.Order("ACME", 1);
    ASSERT_EQ(order["items"].size(), 2u);
    EXPECT_EQ(order["items"][0]["quantity"], 9);
    EXPECT_EQ(order["items"][1]["quantity"], 5);
    EXPECT_EQ(mall.Stock("ACME", "CHAIR"), 0);

    // Sold out: the next shopper is told so and gets no order.
    const std::string b = Shopper(2);
    EXPECT_TRUE(Shows(mall.Add(b, "CHAIR", "1"), "ERROR [This product is out of stock]"));
    EXPECT_EQ(mall.Links(b), kNoLinks);
}

TEST(ShopperInput, RefusedAddsLeaveNoOrderBehind) {
    Mall mall;
    const std::string a = Shopper(1);
    EXPECT_TRUE(Shows(mall.Add(a, "NOSUCH", "1"), "ERROR [Can't find product]"));
    EXPECT_TRUE(Shows(mall.Add(a, "MUG", "0"), "ERROR [Invalid order quantity]"));
    EXPECT_TRUE(Shows(mall.Get(a, "CMD=shopcart"), "ERROR [NO-ORDER]"));
    EXPECT_EQ(mall.Links(a), kNoLinks);

    // A shopper with an order keeps it, unchanged, through a refusal.
    EXPECT_TRUE(Shows(mall.Add(a, "MUG", "2"), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Add(a, "NOSUCH", "1"), "ERROR [Can't find product]"));
    EXPECT_EQ(mall.Links(a), "VIEW-CART|CHECK-OUT|CANCEL");
    EXPECT_TRUE(Shows(mall.ToTotals(a, Buying({})), "ITEM [MUG|4.00|8.00]"));
}

// The shipped cart page, after refused adds and after the last item was taken out.
TEST(ShopperInput, TheShippedCartPageShowsNoUnfilledTokens) {
    PurchaseMall mall("", "", false, kCatalogue);
    const std::string a = Shopper(1);
    auto add = [&](const std::string &query) { return mall.Get(a, "CMD=order&SID=ACME&DID=D&" + query); };
    add("PID=NOSUCH&OrderQuant=1");
    add("PID=CHAIR&OrderQuant=30");
    std::string cart = mall.Get(a, "CMD=shopcart");
    for (const char *token : {"_STOREID_", "_STORENAME_", "_STOREMAIL_", "_DEPTID_"})
        EXPECT_EQ(cart.find(token), std::string::npos) << token << " in:\n" << cart;
    EXPECT_TRUE(Shows(add("PID=MUG&OrderQuant=1"), "Item Added to order"));
    add("PID=MUG&OrderQuant=0");
    cart = mall.Get(a, "CMD=shopcart");
    for (const char *token : {"_STOREID_", "_STORENAME_", "_STOREMAIL_", "_DEPTID_", "_PID_", "_SHOP_"})
        EXPECT_EQ(cart.find(token), std::string::npos) << token << " in:\n" << cart;
}

TEST(ShopperInput, AnItemWhoseProductLeftTheCatalogueCanBeTakenOut) {
    Mall mall;
    const std::string a = Shopper(1);
    mall.ToTotals(a, Buying({{"LAMP", 1, "D"}, {"MUG", 2, "D"}}));
    auto removed = mall.Mallctl({"remove", "ACME", "D", "LAMP"});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "ERROR [NO-SUCH-PRODUCT]"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");

    EXPECT_TRUE(Shows(mall.Add(a, "LAMP", "0"), "Item Added to order"));
    std::string totals = mall.ToTotals(a, Buying({}));
    EXPECT_EQ(totals.find("LAMP"), std::string::npos) << totals;
    ASSERT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1]"));
    auto order = mall.Order("ACME", 1);
    ASSERT_EQ(order["items"].size(), 1u);
    EXPECT_EQ(order["items"][0]["product_id"], "MUG");
    EXPECT_EQ(order["items"][0]["quantity"], 2);
}

TEST(ShopperInput, AMemberAccountOrPurchaseOrderIsSubmittedOnlyByItsUser) {
    Mall mall;
    ASSERT_EQ(mall.Mallctl({"user", "add", "bob", "--password", "bobpw", "--key", "BUYER"}).status, 0);
    const std::string a = Shopper(1);
    EXPECT_TRUE(Shows(mall.ToTotals(a, Buying({{"MUG", 1, "D"}}, "512", "alice:secret")), "FINALU"));
    // The same address without credentials, or with another user's: refused, nothing stored.
    EXPECT_TRUE(Shows(mall.Submit(a, "stranger@example.com"), "ERROR [NOT-ALLOWED]"));
    EXPECT_TRUE(Shows(mall.Submit(a, "", {}, "bob:bobpw"), "ERROR [NOT-ALLOWED]"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
    EXPECT_TRUE(Shows(mall.Submit(a, "", {}, "alice:secret"), "DONE inv=[1] email=[alice]"));
    auto order = mall.Order("ACME", 1);
    EXPECT_EQ(order["customer"]["user_id"], "alice");
    EXPECT_EQ(order["payment_type"], 9);

    // A purchase order likewise.
    const std::string b = Shopper(2);
    mall.ToTotals(b, Buying({{"MUG", 3, "D"}}, "64", "bob:bobpw"));
    std::string totals = mall.Post(b, {{"CMD", "complete"}, {"type", "PO"}, {"PONUMBER", "PO-7"}}, "bob:bobpw");
    EXPECT_TRUE(Shows(totals, "FINALU"));
    EXPECT_TRUE(Shows(mall.Submit(b, "stranger@example.com"), "ERROR [NOT-ALLOWED]"));
    EXPECT_TRUE(Shows(mall.Submit(b, "", {}, "bob:bobpw"), "DONE inv=[2] email=[bob]"));
    EXPECT_EQ(mall.Order("ACME", 2)["payment"]["holder"], "PO-7");
}

TEST(ShopperInput, TheCheckoutsOwnRefusalsComeFirst) {
    Mall mall;
    const std::string a = Shopper(1), b = Shopper(2);
    // A way to pay the store does not allow, before any shipping method was chosen.
    EXPECT_TRUE(Shows(mall.Add(a, "MUG", "1"), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Post(a, {{"CMD", "startpurch"}, {"popt", "2"}}), "ERROR [NOT-ALLOWED]"));
    EXPECT_TRUE(Shows(mall.Post(a, {{"CMD", "startpurch"}, {"popt", "1024"}}), "ERROR [NOT-ALLOWED]"));
    EXPECT_TRUE(Shows(mall.Post(a, {{"CMD", "startpurch"}, {"popt", "32"}}), "ERROR [NO-SHIPPING]"));

    // A store without an extended record.
    EXPECT_TRUE(Shows(mall.Get(b, "CMD=order&SID=PLAIN&DID=D&PID=P&OrderQuant=1"), "Item Added to order"));
    const std::string no_ext = "ERROR [Unable to acquire extended store information]";
    EXPECT_TRUE(Shows(mall.Post(b, {{"CMD", "startpurch"}, {"popt", "32"}}), no_ext));
    EXPECT_TRUE(Shows(mall.Post(b, {{"CMD", "complete"}, {"type", "PO"}, {"PONUMBER", "7"}}), no_ext));
    EXPECT_TRUE(Shows(mall.Submit(b, "joe@example.com"), "ERROR [NO-SUCH-STORE]"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
}

TEST(ShopperInput, RequestTextNeverSplitsALogLine) {
    Mall mall;
    const std::string a = Shopper(1);
    mall.Get(a, "CMD=x%0D%0Aforged%01line");
    const std::string trace = e2e::read_file(mall.root.file("trace.log"));
    EXPECT_NE(trace.find("CMD=x\\r\\nforged\\x01line Peer " + a + "\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("\nforged"), std::string::npos) << trace;
    EXPECT_EQ(trace.find('\r'), std::string::npos);
}

}  // namespace
