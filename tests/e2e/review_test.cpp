// The order review in a real hostd: a buyer opens a submitted order again from any browser, by
// GET or by POST, with the order password of a verified or an anonymous buyer; the form when
// number or password are missing; and what a shopper typed shown as text, never as markup.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/purchase_mall.h"

namespace {

using purchase::Checkout;
using purchase::Entry;
using purchase::Fields;
using purchase::PurchaseMall;
using purchase::Shopper;
using purchase::Shows;

Checkout Tees(int quantity) {
    Checkout c;
    c.items = {{"TEE", quantity}};
    return c;
}

std::string Review(const PurchaseMall &mall, const std::string &from, const std::string &sid,
                   const std::string &oid, const std::string &password, bool post) {
    Fields fields = {{"CMD", "review"}, {"SID", sid}, {"OID", oid}, {"PSWORD", password}};
    if (post) return mall.Post(from, fields);
    return mall.Get(from, purchase::Form(fields));
}

// The question rows of a review page, "[question|answer]" each.
std::string Questions(const std::string &page) {
    std::string rows;
    for (size_t at = page.find("\nQ ["); at != std::string::npos; at = page.find("\nQ [", at + 1))
        rows += page.substr(at + 3, page.find(']', at) - at - 2);
    return rows;
}

TEST(Review, TheBuyerSeesTheOrderByGetAndByPostFromAnyBrowser) {
    PurchaseMall mall;
    const std::string buyer = Shopper(1), elsewhere = Shopper(2);
    // Three tees at 9.50, weighing 1.5 together: shipping 5.00 for the first unit, 2.00 for the
    // begun second one.
    std::string totals = mall.ToTotals(buyer, Tees(3));
    ASSERT_TRUE(Shows(totals, "total=[35.50]"));
    ASSERT_TRUE(Shows(mall.Submit(buyer, "Joe@Example.com", {{"IA0", "yes"}, {"IA1", "unasked"}, {"IA2", "Blue"}}),
                      "DONE inv=[1]"));

    for (bool post : {false, true}) {
        SCOPED_TRACE(post ? "POST" : "GET");
        // The store in small letters, the password in other letters than typed.
        std::string page = Review(mall, elsewhere, "acme", "1", "joe@EXAMPLE.COM", post);
        EXPECT_TRUE(Shows(page, "REVIEW inv=[1] store=[ACME|Acme Goods] email=[Joe@Example.com] "
                                "pay=[Pay later] status=[SUBMITTED]"));
        EXPECT_TRUE(Shows(page, "wfmt=[lb] ship=[UPS] bill=[Joe Buyer||1 Main St|Springfield|IL|62701|555-0100] "
                                "to=[Joe Buyer|1 Main St|Springfield|IL|62701|555-0100] "
                                "links=[CART-EMPTY|NO-CHECK-OUT|NO-CANCEL]"));
        EXPECT_TRUE(Shows(page, "ITEM [Tee|3|9.50|28.50||]"));
        // The same total as the totals page showed before submission.
        EXPECT_TRUE(Shows(page, "TOTALS weight=[1.5000] sub=[28.50] ship=[7.00] hand=[0.00] tax=[0.00] total=[35.50]"));
        // The first and third questions are asked; the answer to the unasked second is not shown.
        EXPECT_EQ(Questions(page), "[Gift wrap?|yes][Which <b>colour</b>?|Blue]");
        // The date and time of submission, as mallctl reads them from the record.
        const std::string date = mall.Order("ACME", 1)["date"], time = mall.Order("ACME", 1)["time"];
        EXPECT_EQ(Entry(page, "date="), date.substr(5, 2) + "/" + date.substr(8, 2) + "/" + date.substr(2, 2));
        EXPECT_EQ(Entry(page, "time="), time);

        EXPECT_TRUE(Shows(Review(mall, elsewhere, "ACME", "1", "joe@example.org", post), "ERROR [Invalid order password]"));
        EXPECT_TRUE(Shows(Review(mall, elsewhere, "ACME", "2", "joe@example.com", post), "ERROR [Order Not Found]"));
        EXPECT_TRUE(Shows(Review(mall, elsewhere, "ACME", "one", "joe@example.com", post), "ERROR [Order Not Found]"));
        EXPECT_TRUE(Shows(Review(mall, elsewhere, "ACME", "4294967297", "joe@example.com", post),
                          "ERROR [Order Not Found]"));
        // Order 1 of another store is another order.
        EXPECT_TRUE(Shows(Review(mall, elsewhere, "ACMEX", "1", "joe@example.com", post), "ERROR [Order Not Found]"));
        EXPECT_TRUE(Shows(Review(mall, elsewhere, "NOSUCH", "1", "joe@example.com", post), "ERROR [NO-SUCH-STORE]"));
    }

    // A verified buyer's order opens with the user id, not with an address.
    Checkout verified = Tees(1);
    verified.user = "alice:secret";
    mall.ToTotals(elsewhere, verified);
    ASSERT_TRUE(Shows(mall.Submit(elsewhere, "", {}, verified.user), "DONE inv=[2] email=[alice]"));
    for (bool post : {false, true}) {
        std::string page = Review(mall, buyer, "ACME", "2", "ALICE", post);
        EXPECT_TRUE(Shows(page, "REVIEW inv=[2] store=[ACME|Acme Goods] email=[alice]"));
        EXPECT_TRUE(Shows(page, "ITEM [Tee|1|9.50|9.50||]"));
        EXPECT_TRUE(Shows(Review(mall, buyer, "ACME", "2", "joe@example.com", post), "ERROR [Invalid order password]"));
    }

    // A shopper with an open order sees the usual order links on the review.
    ASSERT_TRUE(Shows(mall.Get(buyer, "CMD=order&SID=ACME&DID=SHIRTS&PID=MUG&OrderQuant=1"), "Item Added"));
    EXPECT_TRUE(Shows(Review(mall, buyer, "ACME", "1", "joe@example.com", true), "links=[VIEW-CART|CHECK-OUT|CANCEL]"));

    // The store loses its extended record: the order still shows, without weight unit and questions.
    e2e::write_file(mall.root.file("store.json"),
                    R"({"stores": [{"id": "ACME", "name": "Acme Goods", "mail_user": "sysop"}]})");
    ASSERT_EQ(mall.Mallctl({"import", mall.root.file("store.json")}).status, 0);
    std::string page = Review(mall, elsewhere, "ACME", "1", "joe@example.com", false);
    EXPECT_TRUE(Shows(page, "wfmt=[] ship=[UPS]"));
    EXPECT_TRUE(Shows(page, "total=[35.50]"));
    EXPECT_EQ(Questions(page), "");
}

TEST(Review, WithoutNumberOrPasswordTheFormIsShown) {
    PurchaseMall mall;
    const std::string a = Shopper(1);
    EXPECT_TRUE(Shows(mall.Get(a, "CMD=review&SID=acme"),
                      "FORM store=[ACME|Acme Goods|sysop@shopvera.example|] oid=[] mall=[Shopvera Web Mall|/webmall] "
                      "links=[CART-EMPTY|NO-CHECK-OUT|NO-CANCEL]"));
    EXPECT_TRUE(Shows(Review(mall, a, "ACME", "1", "", true), "FORM store=[ACME|Acme Goods|"));
    EXPECT_TRUE(Shows(Review(mall, a, "ACME", "", "joe@example.com", false), "FORM store=[ACME|"));
    // The confirmation's link brings the number along; whatever the request holds is shown as text.
    EXPECT_TRUE(Shows(Review(mall, a, "ACME", "1", "", false), "oid=[1]"));
    EXPECT_TRUE(Shows(Review(mall, a, "ACME", "\"><b>", "", false), "oid=[&quot;&gt;&lt;b&gt;]"));
    EXPECT_TRUE(Shows(mall.Get(a, "CMD=review"), "ERROR [NO-SUCH-STORE]"));
}

TEST(Review, WhatAShopperTypedIsShownAsText) {
    PurchaseMall mall;
    const std::string a = Shopper(1);
    Checkout c = Tees(1);
    c.details = {{"BNAME", "<i>Joe</i>"}, {"BADDR1", "1 Main <u>St</u>"}, {"BCITY", "Springfield"},
                 {"BSTATE", "IL"},        {"BZIP", "62701"},        {"BPHONE", "555'0100"}};
    mall.ToTotals(a, c);
    // The host's mail check reads the address behind the last colon, so markup before it passes.
    const std::string email = "<b>x</b>:joe@example.com";
    std::string done = mall.Submit(a, email, {{"IA0", "<script>alert(1)</script>"}, {"IA2", "\"red\""}});
    EXPECT_TRUE(Shows(done, "DONE inv=[1] email=[&lt;b&gt;x&lt;/b&gt;:joe@example.com]"));
    EXPECT_EQ(done.find("<b>"), std::string::npos);

    std::string page = Review(mall, a, "ACME", "1", email, true);
    EXPECT_TRUE(Shows(page, "email=[&lt;b&gt;x&lt;/b&gt;:joe@example.com]"));
    EXPECT_TRUE(Shows(page, "bill=[&lt;i&gt;Joe&lt;/i&gt;||1 Main &lt;u&gt;St&lt;/u&gt;|Springfield|IL|62701|555&#39;0100]"));
    EXPECT_EQ(Questions(page), "[Gift wrap?|&lt;script&gt;alert(1)&lt;/script&gt;][Which <b>colour</b>?|&quot;red&quot;]");
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_EQ(page.find("<i>"), std::string::npos);
}

// The pages as the mall ships them, from the confirmation to the review.
TEST(Review, TheShippedPagesLeadFromTheConfirmationToTheOrder) {
    PurchaseMall mall("", "", false);
    const std::string a = Shopper(1);
    mall.ToTotals(a, Tees(2));
    std::string done = mall.Submit(a, "joe@example.com", {{"IA0", "yes"}});
    EXPECT_TRUE(Shows(done, "<dd class=\"invoice-number\">1</dd>"));
    EXPECT_TRUE(Shows(done, "href=\"/webmall?CMD=review&amp;SID=ACME&amp;OID=1\""));

    std::string form = mall.Get(a, "CMD=review&SID=ACME&OID=1");
    EXPECT_TRUE(Shows(form, "<label for=\"oid\">"));
    EXPECT_TRUE(Shows(form, "<label for=\"psword\">"));
    EXPECT_TRUE(Shows(form, "name=\"OID\" value=\"1\""));
    EXPECT_EQ(form.find("<script"), std::string::npos);

    std::string page = Review(mall, a, "ACME", "1", "joe@example.com", true);
    EXPECT_TRUE(Shows(page, "<h1>Order 1</h1>"));
    EXPECT_TRUE(Shows(page, "<td class=\"product-name\">Tee</td>"));
    EXPECT_TRUE(Shows(page, "<dd class=\"total\"><span class=\"currency\">$</span>24.00</dd>"));
    EXPECT_TRUE(Shows(page, "<dt>Gift wrap?</dt><dd>yes</dd>"));
}

}  // namespace
