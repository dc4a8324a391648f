// What the order-page tests share: a mall root with a small catalogue imported by mallctl,
// short message texts, templates that print the entries a page sets between brackets (a row
// of a block is one line), and a hostd serving it. Each loopback address is one shopper.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace cart {

// Store ACME: the shirts department holds the products of the order and cart tests; LINE is a
// row of products for the previous and next links, most of them sold out; TOOLS has eleven
// plain products, one more than an order takes; CLOSED takes no orders. Store OTHER has one
// product, for an order that may not mix stores.
inline const char kCatalogue[] = R"({"stores": [
 {"id": "ACME", "name": "Acme Goods", "mail_user": "sysop", "description": "Since 1952",
  "extended": {"weight_format": "lb"},
  "departments": [{"id": "SHIRTS", "name": "Shirts"}, {"id": "TOOLS", "name": "Tools"},
                  {"id": "LINE", "name": "Line"}, {"id": "CLOSED", "name": "Closed", "flags": 1}],
  "formats": [{"name": "SIZE", "choices": ["Small", "Medium", "Large"]},
              {"name": "COLOUR", "choices": ["Red", "Blue"]}],
  "products": [
   {"department": "SHIRTS", "id": "RED SHIRT", "name": "Red shirt", "description": "A <em>red</em> shirt",
    "flags": 60, "price": 10, "member_price": 8, "member_key": "MEMBER", "stock": 5,
    "format1": "SIZE", "format2": "COLOUR", "offered": 773, "weight": 1.5,
    "discounts": [{"min": 10, "max": 20, "percent": 15}]},
   {"department": "SHIRTS", "id": "TEE", "name": "Tee", "price": 3, "info_kind": 2,
    "discounts": [{"min": 1, "max": 4, "percent": 5}, {"min": 5, "max": 9, "percent": 10}]},
   {"department": "SHIRTS", "id": "VEST", "name": "Vest", "price": 4, "info_kind": 2},
   {"department": "SHIRTS", "id": "SOLDOUT", "name": "Sold out", "flags": 8, "price": 1},
   {"department": "SHIRTS", "id": "BACKORD", "name": "Back order", "flags": 24, "price": 1, "stock": 2},
   {"department": "SHIRTS", "id": "BIGSTOCK", "name": "Big stock", "flags": 8, "price": 1, "stock": 40000},
   {"department": "SHIRTS", "id": "NOCOUNT", "name": "Not counted", "price": 1},
   {"department": "SHIRTS", "id": "GONE", "name": "Soon gone", "price": 2},
   {"department": "SHIRTS", "id": "EBOOK", "name": "E-book", "price": 5, "download": "files\\ebook.pdf"},
   {"department": "SHIRTS", "id": "PICS", "name": "Pictures", "price": 1, "info_kind": 1,
    "pictures": ["shirts\\red.jpg", "shirts\\back.jpg", ""]},
   {"department": "SHIRTS", "id": "MEDIA", "name": "Media", "price": 1, "info_kind": 3,
    "abstract": "docs\\about.pdf", "sound": "snd\\hum.wav"},
   {"department": "CLOSED", "id": "LOCKED", "name": "Locked", "price": 1},
   {"department": "LINE", "id": "P01", "price": 1}, {"department": "LINE", "id": "P02", "flags": 8},
   {"department": "LINE", "id": "P03", "flags": 8}, {"department": "LINE", "id": "P04", "flags": 8},
   {"department": "LINE", "id": "P05", "flags": 8}, {"department": "LINE", "id": "P06", "flags": 8},
   {"department": "LINE", "id": "P07", "price": 1}, {"department": "LINE", "id": "P08", "flags": 8},
   {"department": "LINE", "id": "P09", "flags": 8}, {"department": "LINE", "id": "P10", "flags": 8},
   {"department": "LINE", "id": "P11", "flags": 8}, {"department": "LINE", "id": "P12", "price": 1},
   {"department": "TOOLS", "id": "T01", "price": 1}, {"department": "TOOLS", "id": "T02", "price": 1},
   {"department": "TOOLS", "id": "T03", "price": 1}, {"department": "TOOLS", "id": "T04", "price": 1},
   {"department": "TOOLS", "id": "T05", "price": 1}, {"department": "TOOLS", "id": "T06", "price": 1},
   {"department": "TOOLS", "id": "T07", "price": 1}, {"department": "TOOLS", "id": "T08", "price": 1},
   {"department": "TOOLS", "id": "T09", "price": 1}, {"department": "TOOLS", "id": "T10", "price": 1},
   {"department": "TOOLS", "id": "T11", "price": 1}]},
 {"id": "OTHER", "name": "Other shop", "departments": [{"id": "D", "name": "D"}],
  "products": [{"department": "D", "id": "O1", "name": "Other thing", "price": 1}]}]})";

// Messages as short texts a test can look for.
inline const char kMessages[] =
    "19: CHECK-OUT\n20: NO-CHECK-OUT\n22: CANCEL\n23: NO-CANCEL\n25: VIEW-CART\n26: CART-EMPTY\n"
    "21: BACK-TO-DEPT\n24: BACK-TO-PRODUCT\n30: NO-ORDERS-HERE\n32: NO-SUCH-DEPT\n"
    "44: NO-SUCH-PRODUCT\n45: NO-ORDER\n46: NO-SUCH-STORE\n50: ORDER-EMPTY\n51: NOT-AVAILABLE\n";

// A product page template (its lines stay within the processor's 255-byte pieces, so no token
// is split): the page-wide entries, then the three blocks (format 1, format 2,
// discounts) with a marker behind each, then tail.
inline std::string ProductTemplate(const std::string &label, const std::string &tail = "TAIL\n") {
    return label +
           " store=[_STOREID_|_STORENAME_|_STOREMAIL_|_WEIGHTFMT_] dept=[_DEPTID_|_DEPTNAME_]\n"
           "order=[_C1_|_C2_] prev=[_C1P_|_C2P_|_PCODEP_] next=[_C1N_|_C2N_|_PCODEN_]\n"
           "prod=[_PRODID_|_PRODNAME_|_PRODDESC_|_PRODPRICE_|_WEIGHT_] fmt=[_format1_|_format2_]\n"
           "stock=[_IQUANT_] quant=[_QUANT_]\n"
           "media=[_image1_|_image2_|_image3_|_ABSTRACT_|_MMREF2_|_SOUND_|_MMREF1_]\n"
           "links=[_SHOP_|_CORD_|_KILL_]\n"
           "###F1 [_v1_|_fmttxt1_|_CHECKED_]\n###MID1\n"
           "###F2 [_v2_|_fmttxt2_|_CHECKED_]\n###MID2\n"
           "###DISC [_dmin_|_dmax_|_disc_]\n###" + tail;
}

inline const std::map<std::string, std::string> kEntryTemplates = {
    {"fail.htm", "ERROR [_error_]\n"},
    {"sworder.htm",
     "ORDER msg=[_msg_] ids=[_STOREID_|_DEPTID_|_PRODID_] mall=[_MALLNAME_|_roothtm_] "
     "links=[_SHOP_|_CORD_|_KILL_]\n"},
    {"info.htm", "INFO [_info_] ids=[_STOREID_|_DEPTID_|_PRODID_]\n"},
    {"SWSHPCRT.HTM",
     "CART n=[_NITEMS_] store=[_STOREID_|_STORENAME_|_STOREMAIL_] back=[_DEPT_|_PROD_] "
     "ids=[_DEPTID_|_PRODID_] links=[_SHOP_|_CORD_|_KILL_]\n"
     "###ROW [_PID_|_DEPTID_|_PRODNAME_|_PFMT1_|_PFMT2_|_QUANT_|_QUANTBO_|_PRODPRICE_|_EXTPRICE_]\n"
     "###TOTAL [_SUBTOTAL_]\n"},
    {"SWORDKL.HTM", "CANCELLED ids=[_STOREID_|_DEPTID_|_PRODID_] links=[_SHOP_]\n"},
    {"debug.htm",
     "DEBUG ip=[_IP_] ord=[_ORD_] vuid=[_VUID_] uid=[_UID_] store=[_storeid_] items=[_items_]\n"
     "###ITEM [_DID_|_PID_|_QUANT_|_QUANTBO_|_FMT1_|_FMT2_|_DLOAD_|_FLAGS_|_PRICE_]\n###END\n"},
    {"SWPRDIN.HTM", ProductTemplate("PAGE0")},
    {"SWPRDIN1.HTM", ProductTemplate("PAGE1")},
    {"SWPRDIN2.HTM", ProductTemplate("PAGE2")},
    {"SWPRDIN3.HTM", ProductTemplate("PAGE3")},
    // The store's own copy of the kind 2 page, with a fourth block behind the discounts.
    {"ACME/SWPRDIN2.HTM", ProductTemplate("ACME2", "AFTER3\n###FOURTH\n###END4\n")},
};

// Each line replaces the option or message of the same number, or is added.
inline void SetLines(const std::string &file, const std::string &lines) {
    std::istringstream in(e2e::read_file(file) + lines);
    std::map<std::string, std::string> last;
    std::vector<std::string> order;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::string number = line.substr(0, line.find(':'));
        if (!last.count(number)) order.push_back(number);
        last[number] = line;
    }
    std::string text;
    for (const std::string &number : order) text += last[number] + "\n";
    e2e::write_file(file, text);
}

// Shopper number n (1 and up) as a loopback address of its own.
inline std::string Shopper(int n) { return "127.0.0." + std::to_string(n + 1); }

struct CartMall {
    // entry_templates off keeps the shipped templates; scale is the host's --time-scale; lines
    // replace options or messages of the shipped kvzsvw.mcv.
    explicit CartMall(bool entry_templates = true, int scale = 10, const std::string &lines = "") {
        EXPECT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "alice", "--password", "secret", "--key", "MEMBER"})
                      .status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "bob", "--password", "builder"}).status, 0);
        e2e::write_file(root.file("catalogue.json"), kCatalogue);
        auto imported = e2e::mallctl(root.path(), {"import", root.file("catalogue.json")});
        EXPECT_EQ(imported.status, 0) << imported.err;
        if (!lines.empty()) SetLines(root.file("kvzsvw.mcv"), lines);
        if (entry_templates) {
            SetLines(root.file("kvzsvw.mcv"), kMessages);
            for (const auto &[name, text] : kEntryTemplates) e2e::write_file(root.file("kvzsvw/" + name), text);
        }
        host = std::make_unique<e2e::Host>(root.path(), std::vector<std::string>{"--time-scale", std::to_string(scale)});
        EXPECT_TRUE(host->ready()) << host->stderr_text();
    }

    // The page a shopper gets for the query (the part after "/webmall?").
    std::string Page(const std::string &from, const std::string &query, const std::string &user = "") const {
        return e2e::get(host->port(), "/webmall?" + query, from, user).body;
    }
    // The trace lines written since the last look, whole (e2e::LogReader).
    std::vector<std::string> NewTrace() { return trace_.new_lines(); }

    e2e::TempRoot root;
    std::unique_ptr<e2e::Host> host;

  private:
    e2e::LogReader trace_{root.file("trace.log")};
};

// Whether the trace lines hold exactly line; they are shown when they do not.
inline ::testing::AssertionResult Wrote(const std::vector<std::string> &lines, const std::string &line) {
    if (e2e::has_line(lines, line)) return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "no trace line \"" << line << "\" among:";
    for (const std::string &l : lines) failure << "\n  " << l;
    return failure;
}

inline ::testing::AssertionResult Shows(const std::string &page, const std::string &part) {
    if (page.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << page;
}

}  // namespace cart
