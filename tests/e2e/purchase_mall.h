// What the submission, review and order-listing tests share: a mall root with stores whose ids
// neighbour each other, imported by mallctl; short message texts; templates that print the
// entries of the pages under test between brackets; a hostd serving it; and a shopper who walks
// a whole purchase from the cart to the final form, as a browser posts it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/cart_mall.h"
#include "tests/e2e/harness.h"

namespace purchase {

// ACME takes orders without limit and asks two questions (the first and the third); CAPPED takes
// orders of at most 24.00; ACMD sorts just before ACME and ACMEX just behind it. ACME and
// CAPPED ship by "UPS" (5.00 for the first unit of weight, 2.00 for each further one, with
// handling); the others offer the default method only.
inline const char kCatalogue[] = R"({"stores": [
 {"id": "ACMD", "name": "Acme Deli", "extended": {"options": 32},
  "departments": [{"id": "D", "name": "D"}], "products": [{"department": "D", "id": "P", "name": "Pie", "price": 2}]},
 {"id": "ACME", "name": "Acme Goods", "mail_user": "sysop",
  "extended": {"weight_format": "lb", "options": 33, "download_options": 32, "tax_settings": 0,
               "questions": ["Gift wrap?", "", "Which <b>colour</b>?", "", ""]},
  "departments": [{"id": "SHIRTS", "name": "Shirts"}],
  "formats": [{"name": "SIZE", "choices": ["Small", "Medium", "Large"]}],
  "products": [
   {"department": "SHIRTS", "id": "TEE", "name": "Tee", "price": 9.5, "flags": 8, "stock": 5, "weight": 0.5},
   {"department": "SHIRTS", "id": "RED SHIRT", "name": "Red shirt", "price": 10, "flags": 56, "stock": 1,
    "format1": "SIZE", "offered": 7, "weight": 1, "handling_first": 1, "handling_more": 0.5},
   {"department": "SHIRTS", "id": "MUG", "name": "Mug", "price": 4, "stock": 7},
   {"department": "SHIRTS", "id": "EBOOK", "name": "E-book", "price": 5, "flags": 64,
    "download": "files\\ebook.pdf"}]},
 {"id": "ACMEX", "name": "Acme Extra", "extended": {"options": 32},
  "departments": [{"id": "D", "name": "D"}], "products": [{"department": "D", "id": "P", "name": "Pen", "price": 3}]},
 {"id": "CAPPED", "name": "Capped", "extended": {"options": 32, "max_order": 24},
  "departments": [{"id": "D", "name": "D"}],
  "products": [{"department": "D", "id": "TEE", "name": "Tee", "price": 9.5, "weight": 0.5}]}]})";

inline const char kShipping[] = "UPS~5.00~2.00~YES\n";

inline const char kMessages[] =
    "19: CHECK-OUT\n20: NO-CHECK-OUT\n22: CANCEL\n23: NO-CANCEL\n25: VIEW-CART\n26: CART-EMPTY\n"
    "27: NOTHING-TO-PAY\n31: REFUSED\n36: BAD-ADDRESS\n42: NO-ADDRESS\n44: NO-SUCH-PRODUCT\n"
    "45: NO-ORDER\n46: NO-SUCH-STORE\n49: Standard\n50: ORDER-EMPTY\n";

inline const std::map<std::string, std::string> kEntryTemplates = {
    {"fail.htm", "ERROR [_error_]\n"},
    {"SWPURCH.HTM", "SHIPPING\n###OPT [_SHIP_]\n###END\n"},
    {"SWFINAL.HTM",
     "FINAL\n###ITEM [_PID_|_PRODPRICE_|_EXTPRICE_]\n###MID total=[_TOTAL_]\n###Q [_QUES_|_IA_]\n###END\n"},
    {"SWFINALU.HTM",
     "FINALU\n###ITEM [_PID_|_PRODPRICE_|_EXTPRICE_]\n###MID total=[_TOTAL_]\n###Q [_QUES_|_IA_]\n###END\n"},
    {"SWODONE.HTM",
     "DONE inv=[_INVNUM_] email=[_EMAILADDR_] store=[_STOREID_] mall=[_MALLNAME_|_roothtm_] "
     "links=[_SHOP_|_CORD_|_KILL_]\n"},
    {"maxamnt.htm", "MAX max=[_max_] root=[_roothtm_]\n"},
    {"swrvform.htm",
     "FORM store=[_STOREID_|_STORENAME_|_STOREMAIL_|_STOREDESC_] oid=[_OID_] mall=[_MALLNAME_|_roothtm_] "
     "links=[_SHOP_|_CORD_|_KILL_]\n"},
    {"SWREVIEW.HTM",
     "REVIEW inv=[_INVNUM_] store=[_STOREID_|_STORENAME_] email=[_EMAIL_] pay=[_PAYTYPE_] "
     "status=[_STATUS_] date=[_DATE_] time=[_TIME_] wfmt=[_WEIGHTFMT_] ship=[_SHIPNAME_] "
     "bill=[_BNAME_|_BCOMPANY_|_BADDR1_|_BCITY_|_BSTATE_|_BZIP_|_BPHONE_] "
     "to=[_SNAME_|_SADDR1_|_SCITY_|_SSTATE_|_SZIP_|_SPHONE_] links=[_SHOP_|_CORD_|_KILL_]\n"
     "###ITEM [_PRODNAME_|_QUANT_|_PRODPRICE_|_EXTPRICE_|_PFMT1_|_PFMT2_]\n"
     "###TOTALS weight=[_WEIGHTTOTAL_] sub=[_SUBTOTAL_] ship=[_SHIPPING_] hand=[_HANDLING_] "
     "tax=[_TAX_] total=[_TOTAL_]\n"
     "###Q [_QUES_|_IA_]\n###END\n"},
};

using cart::SetLines;
using cart::Shopper;
using cart::Shows;

inline std::string Encode(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') out += static_cast<char>(c);
        else out += std::string("%") + hex[c >> 4] + hex[c & 15];
    }
    return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

inline std::string Form(const Fields &fields) {
    std::string form;
    for (const auto &[name, value] : fields) form += (form.empty() ? "" : "&") + name + "=" + Encode(value);
    return form;
}

// The text between the brackets behind label ("inv=" gives what "inv=[...]" holds).
inline std::string Entry(const std::string &page, const std::string &label) {
    size_t at = page.find(label + "[");
    if (at == std::string::npos) return "(no " + label + " in: " + page + ")";
    at += label.size() + 1;
    return page.substr(at, page.find(']', at) - at);
}

struct Item {
    Item(std::string product_id, int count = 1, std::string dept_id = "SHIRTS", std::string more = "")
        : product(std::move(product_id)), quantity(count), dept(std::move(dept_id)), extra(std::move(more)) {}
    std::string product;
    int quantity;
    std::string dept;
    std::string extra;  // more of the order command's query ("&R1=0")
};

// How the shopper checks out: who, what details, which way to pay.
struct Checkout {
    std::string store = "ACME";
    std::vector<Item> items;
    std::string user;                  // "alice:secret" for a verified user
    Fields details = {{"BNAME", "Joe Buyer"}, {"BADDR1", "1 Main St"}, {"BCITY", "Springfield"},
                      {"BSTATE", "IL"},       {"BZIP", "62701"},       {"BPHONE", "555-0100"}};
    std::string option = "32";         // the way to pay ("popt"); "1" is Visa with a card form
    Fields card;                       // the card form's fields for option 1
};

struct PurchaseMall {
    // mall_cfg replaces mall.cfg's lines; options are more lines for kvzsvw.mcv; catalogue is
    // the file imported.
    explicit PurchaseMall(const std::string &mall_cfg_lines = "", const std::string &options = "",
                          bool entry_templates = true, const char *catalogue = kCatalogue) {
        EXPECT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "alice", "--password", "secret"}).status, 0);
        e2e::write_file(root.file("catalogue.json"), catalogue);
        auto imported = e2e::mallctl(root.path(), {"import", root.file("catalogue.json")});
        EXPECT_EQ(imported.status, 0) << imported.err;
        e2e::write_file(root.file("KVZSV/ACME/KVZSVSHP.CFG"), kShipping);
        e2e::write_file(root.file("KVZSV/CAPPED/KVZSVSHP.CFG"), kShipping);
        SetLines(root.file("mall.cfg"), "option_text_0: Visa\noption_text_5: Pay later\n" + mall_cfg_lines);
        SetLines(root.file("kvzsvw.mcv"), std::string(entry_templates ? kMessages : "") + options);
        if (entry_templates)
            for (const auto &[name, text] : kEntryTemplates) e2e::write_file(root.file("kvzsvw/" + name), text);
        host = std::make_unique<e2e::Host>(root.path(), std::vector<std::string>{"--time-scale", "10"});
        EXPECT_TRUE(host->ready()) << host->stderr_text();
    }

    std::string Get(const std::string &from, const std::string &query, const std::string &user = "") const {
        return e2e::get(host->port(), "/webmall?" + query, from, user).body;
    }
    std::string Post(const std::string &from, const Fields &fields, const std::string &user = "") const {
        return e2e::post(host->port(), "/webmall", Form(fields), from, user).body;
    }

    // Walks the purchase up to the totals page and returns it: items into the cart, the details,
    // the first shipping method offered, the way to pay (and the card form for a card).
    std::string ToTotals(const std::string &from, const Checkout &c) const {
        for (const Item &item : c.items) {
            std::string page = Get(from, "CMD=order&SID=" + c.store + "&DID=" + item.dept + "&PID=" +
                                             Encode(item.product) + "&OrderQuant=" +
                                             std::to_string(item.quantity) + item.extra, c.user);
            EXPECT_TRUE(Shows(page, "Item Added to order"));
        }
        Fields details = c.details;
        details.insert(details.begin(), {{"CMD", "submitreg"}, {"DEST", "s2"}});
        std::string shipping = Post(from, details, c.user);
        std::string line = ShippingLine(shipping);
        std::string options = Post(from, {{"CMD", "purchopt"}, {"SHIPOPT", line}}, c.user);
        std::string totals = Post(from, {{"CMD", "startpurch"}, {"popt", c.option}}, c.user);
        if (!c.card.empty()) {
            Fields card = c.card;
            card.insert(card.begin(), {{"CMD", "complete"}, {"type", "CC"}});
            totals = Post(from, card, c.user);
        }
        EXPECT_TRUE(Shows(totals, "total")) << options;
        return totals;
    }

    // The first method the shipping choice page offers, from the tests' template or the shipped
    // one (whose radio buttons carry it, escaped, as their value).
    static std::string ShippingLine(const std::string &page) {
        if (page.find("OPT [") != std::string::npos) return Entry(page, "OPT ");
        const std::string mark = "name=\"SHIPOPT\" value=\"";
        size_t at = page.find(mark);
        EXPECT_NE(at, std::string::npos) << page;
        if (at == std::string::npos) return "";
        at += mark.size();
        return page.substr(at, page.find('"', at) - at);
    }

    // The final form as the totals page posts it.
    std::string Submit(const std::string &from, const std::string &email, const Fields &answers = {},
                       const std::string &user = "") const {
        Fields fields = {{"CMD", "submit"}};
        for (const auto &answer : answers) fields.push_back(answer);
        if (!email.empty()) fields.push_back({"EMAIL", email});
        return Post(from, fields, user);
    }

    // A whole purchase; the confirmation (or refusal) page.
    std::string Buy(const std::string &from, const Checkout &c, const std::string &email = "joe@example.com",
                    const Fields &answers = {}) const {
        ToTotals(from, c);
        return Submit(from, email, answers, c.user);
    }

    e2e::RunResult Mallctl(const std::vector<std::string> &args) const { return e2e::mallctl(root.path(), args); }

    // One stored order as mallctl shows it; null when there is none.
    nlohmann::json Order(const std::string &store, int number) const {
        auto shown = Mallctl({"order", store, std::to_string(number)});
        if (shown.status != 0) return nullptr;
        return nlohmann::json::parse(shown.out);
    }

    // The stock of a product as mallctl exports it; -1 when it is not there.
    long Stock(const std::string &store, const std::string &product) const {
        auto exported = Mallctl({"export"});
        const nlohmann::json catalogue = nlohmann::json::parse(exported.out);
        for (const auto &s : catalogue["stores"])
            if (s["id"] == store)
                for (const auto &p : s["products"])
                    if (p["id"] == product) return p.value("stock", 0L);
        ADD_FAILURE() << "no product " << store << " " << product << " in the catalogue";
        return -1;
    }

    e2e::TempRoot root;
    std::unique_ptr<e2e::Host> host;
};

// Makes other's host serve the data files of mall, each host with its own root: other's data/
// becomes mall's (SQLite), or its data.cfg names mall's database (PostgreSQL). Its host starts
// again with host_args.
inline void ShareData(const PurchaseMall &mall, PurchaseMall &other,
                      const std::vector<std::string> &host_args = {"--time-scale", "10"}) {
    other.host->stop();
    if (mall.root.database().empty()) {
        std::filesystem::remove_all(other.root.file("data"));
        std::filesystem::create_directory_symlink(mall.root.file("data"), other.root.file("data"));
    } else {
        std::filesystem::copy_file(mall.root.file("data.cfg"), other.root.file("data.cfg"),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    other.host = std::make_unique<e2e::Host>(other.root.path(), host_args);
    ASSERT_TRUE(other.host->ready()) << other.host->stderr_text();
}

}  // namespace purchase
