// mallctl's catalogue commands run as an operator runs them: import, export and remove against a
// root laid out by mallctl init, with and without a hostd serving it, and the demo mall.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "catalogue/records.h"
#include "companions/mall/files.h"
#include "host/accounts.h"
#include "host/datafile.h"
#include "orders/records.h"
#include "tests/e2e/catalogue_fixture.h"
#include "tests/e2e/harness.h"

namespace {

using json = nlohmann::json;
using e2e::TempRoot;

// Every field of a record, as export writes it; tests change what they need.
json full_store(const std::string &id, const std::string &name) {
    return {{"id", id}, {"name", name}, {"mail_user", "sysop"}, {"access_key", ""}, {"icon", "logo.png"},
            {"po_key", ""}, {"description", "Since 1952"},
            {"extended",
             {{"max_order", 500}, {"options", 127}, {"download_options", 32}, {"manager", "Ann"},
              {"address", "1 Main St"}, {"city_state_zip", "Springfield"}, {"country", "USA"},
              {"phone", "555-0100"}, {"fax", ""}, {"weight_format", "lb"}, {"tax_settings", 2},
              {"questions", {"Gift note?", "", "", "Day?", ""}}}},
            {"departments", json::array()}, {"formats", json::array()}, {"products", json::array()}};
}

json full_department(const std::string &id, const std::string &name) {
    return {{"id", id}, {"name", name}, {"icon", "d.png"}, {"flags", 0}, {"description", ""}};
}

json full_product(const std::string &dept, const std::string &id, const std::string &name) {
    return {{"department", dept}, {"id", id}, {"name", name}, {"description", ""}, {"flags", 0},
            {"price", 1}, {"member_price", 0}, {"member_key", ""}, {"tax_exempt_key", ""},
            {"handling_first", 0}, {"handling_more", 0}, {"info_kind", 0}, {"download", ""},
            {"pictures", {"", "", ""}}, {"abstract", ""}, {"sound", ""}, {"stock", 0}, {"format1", ""},
            {"format2", ""}, {"offered", 0}, {"discounts", json::array()}, {"weight", 0},
            {"keywords", json::array()}};
}

// A root laid out by mallctl init, and the operator's commands on it.
struct Mall {
    TempRoot root;
    Mall() { EXPECT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0); }

    e2e::RunResult import(const json &doc, const std::string &name = "in.json") const {
        return import_text(doc.dump(2), name);
    }
    e2e::RunResult import_text(const std::string &text, const std::string &name = "in.json") const {
        e2e::write_file(root.file(name), text);
        return e2e::mallctl(root.path(), {"import", root.file(name)});
    }
    std::string export_text() const {
        auto r = e2e::mallctl(root.path(), {"export"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    json exported() const { return json::parse(export_text()); }
};

// The catalogue of most tests: two stores, a format with a gap, awkward amounts and ids.
json sample() {
    json acme = full_store("ACME", "Acme Goods");
    acme["description"] = "Café tools, <b>since</b> 1952";
    acme["departments"] = {full_department("\u0001", "reserved"), full_department("GARDEN", "Garden"),
                           full_department("TOOLS", "Tools")};
    acme["departments"][1]["flags"] = 1;
    acme["formats"] = {{{"name", "COLOR"}, {"choices", {"Red", "", "Blue"}}},
                       {{"name", "SIZE"}, {"choices", {"Small", "Medium", "Large", "XL", "XXL", "XXXL"}}}};
    json shirt = full_product("TOOLS", "RED SHIRT", "Red shirt");
    shirt.update({{"flags", 0x7F}, {"price", 19.99}, {"member_price", 0.1}, {"member_key", "CLUB"},
                  {"tax_exempt_key", "RESALE"}, {"handling_first", 1.25}, {"handling_more", 1e-7},
                  {"info_kind", 3}, {"download", "dl\\shirt.zip"}, {"pictures", {"a\\b.png", "", "c.png"}},
                  {"abstract", "abs.htm"}, {"sound", "s.wav"}, {"stock", -3}, {"format1", "SIZE"},
                  {"format2", "COLOR"}, {"offered", 4294967295u}, {"weight", 3.4028235e38},
                  {"discounts", {{{"min", 1}, {"max", 5}, {"percent", 10}},
                                 {{"min", 0}, {"max", 0}, {"percent", 0}},
                                 {{"min", 6}, {"max", 2147483647}, {"percent", 12.5}}}},
                  {"keywords", {"SHIRT", "RED", "COTTON"}}});
    acme["products"] = {full_product("GARDEN", "HOSE", "Garden hose"), shirt,
                        full_product("TOOLS", "V1.5-X_Y", "Widget")};
    acme["products"][0]["keywords"] = {"HOSE"};
    json bay = full_store("BAYSIDE", "Bayside Books");
    bay.erase("extended");
    bay["access_key"] = "READERS";
    bay["departments"] = {full_department("NOVELS", "Novels")};
    bay["products"] = {full_product("NOVELS", "HOSE", "Same id, other store")};
    return {{"stores", {acme, bay}}};
}

TEST(MallctlCatalogue, ExportWritesBackWhatWasImportedAndReimportingChangesNothing) {
    Mall mall;
    auto r = mall.import(sample());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("imported 2 stores, 1 extended record, 4 departments, 2 formats, 4 products"),
              std::string::npos) << r.out;

    const std::string first = mall.export_text();
    const json exported = json::parse(first);
    EXPECT_EQ(exported, sample()) << exported.dump(2);

    // Amounts are written so they read back as the same single-precision values, and briefly.
    const json &shirt = exported["stores"][0]["products"][1];
    EXPECT_EQ(static_cast<float>(shirt["weight"].get<double>()), 3.4028235e38f);
    EXPECT_EQ(static_cast<float>(shirt["handling_more"].get<double>()), 1e-7f);
    EXPECT_NE(first.find("\"price\": 19.99,"), std::string::npos);
    EXPECT_NE(first.find("\"max_order\": 500,"), std::string::npos);

    auto again = mall.import_text(first, "exported.json");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(mall.export_text(), first);
}

TEST(MallctlCatalogue, EmptyRootExportsAnEmptyCatalogue) {
    Mall mall;
    EXPECT_EQ(mall.exported(), json({{"stores", json::array()}}));
    EXPECT_EQ(mall.import_text("{}").status, 0);
}

TEST(MallctlCatalogue, ABadFileChangesNothingAndEveryProblemIsNamedWithItsPlace) {
    Mall mall;
    ASSERT_EQ(mall.import(sample()).status, 0);
    const std::string before = mall.export_text();

    json doc = sample();
    json &acme = doc["stores"][0];
    acme["name"] = "A new name that must not land";
    acme["colour"] = "red";                                        // unknown field
    acme["extended"]["options"] = 65536;                           // 16 bits
    acme["extended"]["max_order"] = "lots";                        // wrong type
    acme["departments"][2]["id"] = "TO OLS";                       // blank in a department id
    acme["formats"][0]["choices"] = {"a", "b", "c", "d", "e", "f", "g"};
    acme["products"][0]["department"] = "NOWHERE";
    acme["products"][1]["name"] = std::string(80, 'n');
    acme["products"][1]["stock"] = 1.5;
    acme["products"][1]["info_kind"] = 4;
    acme["products"][1]["price"] = -2;
    acme["products"][1]["keywords"] = {"OK", std::string(20, 'K'), 7};
    acme["products"][2]["discounts"][0] = {{"min", 1}, {"max", 2}, {"percent", 101}};
    json extra = full_product("TOOLS", "ABCDEFGHIJKLMNOPQ", "Too long an id");
    acme["products"].push_back(extra);
    acme["products"].push_back(full_product("TOOLS", "red shirt", "Listed twice"));
    acme["products"].push_back(full_product("TOOLS", "A/B", "Slash"));
    doc["stores"][1]["name"] = "Bayside, renamed: must not land either";

    auto r = mall.import(doc);
    EXPECT_EQ(r.status, 1);
    const char *expected[] = {
        "stores[0].colour: unknown field",
        "stores[0].extended.options: 65536 is out of range, 0 to 65535",
        "stores[0].extended.max_order: wrong type: expected a number, got a text",
        "stores[0].departments[2].id: \"TO OLS\" may hold only letters, digits, '-' and '_'",
        "stores[0].formats[0].choices: 7 entries, at most 6",
        "stores[0].products[0].department: no department NOWHERE in store ACME",
        "stores[0].products[1].name: 80 characters, at most 79",
        "stores[0].products[1].stock: wrong type: expected a whole number, got 1.5",
        "stores[0].products[1].info_kind: 4 is out of range, 0 to 3",
        "stores[0].products[1].price: -2 is negative",
        "stores[0].products[1].keywords[1]: 20 characters, at most 19",
        "stores[0].products[1].keywords[2]: wrong type: expected a text, got a number",
        "stores[0].products[2].discounts[0].percent: 101 is out of range, 0 to 100",
        "stores[0].products[3].id: 17 characters, at most 15",
        "stores[0].products[4].id: \"red shirt\" is listed twice (also at stores[0].products[1].id)",
        "stores[0].products[5].id: \"A/B\" may hold only letters, digits, blanks, '-', '_' and '.'",
    };
    for (const char *line : expected) EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
    EXPECT_NE(r.err.find("16 problems in"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing changed"), std::string::npos);
    EXPECT_EQ(mall.export_text(), before);

    auto broken = mall.import_text("{\"stores\": [ {\"id\": \"X\" ]}");
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.err.find("parse error at line 1"), std::string::npos) << broken.err;
    auto utf8 = mall.import_text("{\"stores\": [{\"id\": \"X\", \"name\": \"\xc3\xc3\"}]}");
    EXPECT_EQ(utf8.status, 1);
    EXPECT_NE(utf8.err.find("UTF-8"), std::string::npos) << utf8.err;
    auto top = mall.import_text("[1, 2]");
    EXPECT_EQ(top.status, 1);
    EXPECT_NE(top.err.find("wrong type: expected an object, got a list"), std::string::npos) << top.err;
    auto missing = e2e::mallctl(mall.root.path(), {"import", mall.root.file("absent.json")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos);
    EXPECT_EQ(mall.export_text(), before);
}

TEST(MallctlCatalogue, IdentifiersAreFoldedSoOneRecordAnswersToAnyLetterCase) {
    Mall mall;
    json doc = {{"stores", {{{"id", "acme"}, {"name", "Acme"},
                             {"departments", {{{"id", "tools"}, {"name", "Tools"}}}},
                             {"products", {{{"department", "Tools"}, {"id", "Red Shirt"}, {"name", "Shirt"}}}}}}}};
    ASSERT_EQ(mall.import(doc).status, 0);
    json out = mall.exported();
    EXPECT_EQ(out["stores"][0]["id"], "ACME");
    EXPECT_EQ(out["stores"][0]["departments"][0]["id"], "TOOLS");
    EXPECT_EQ(out["stores"][0]["products"][0]["department"], "TOOLS");
    EXPECT_EQ(out["stores"][0]["products"][0]["id"], "Red Shirt");  // product ids keep their case

    // The same store, department and product in other capitals are replaced, not doubled.
    doc["stores"][0]["id"] = "AcMe";
    doc["stores"][0]["departments"][0]["id"] = "TOOLS";
    doc["stores"][0]["products"][0] = {{"department", "tOOLS"}, {"id", "RED SHIRT"}, {"name", "Shirt, again"}};
    ASSERT_EQ(mall.import(doc).status, 0);
    out = mall.exported();
    ASSERT_EQ(out["stores"].size(), 1u);
    ASSERT_EQ(out["stores"][0]["departments"].size(), 1u);
    ASSERT_EQ(out["stores"][0]["products"].size(), 1u) << out.dump(2);
    EXPECT_EQ(out["stores"][0]["products"][0]["id"], "RED SHIRT");
    EXPECT_EQ(out["stores"][0]["products"][0]["keywords"], json({"SHIRT,", "AGAIN"}));

    auto twice = mall.import(json{{"stores", {{{"id", "X"}}, {{"id", "x"}}}}});
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.err.find("stores[1].id: \"X\" is listed twice (also at stores[0].id)"), std::string::npos)
        << twice.err;
    auto bad = mall.import(json{{"stores", {{{"id", "A.B"}}, {{"id", ""}}, {{"name", "no id"}}}}});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("stores[0].id: \"A.B\" may hold only letters"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("stores[1].id: missing"), std::string::npos);
    EXPECT_NE(bad.err.find("stores[2].id: missing"), std::string::npos);
}

TEST(MallctlCatalogue, AStoreEntryReplacesTheStoreAndAddsToWhatItHolds) {
    Mall mall;
    ASSERT_EQ(mall.import(sample()).status, 0);

    json acme = full_store("ACME", "Acme Goods, renamed");
    acme.erase("extended");
    acme["departments"] = {full_department("TOOLS", "Hand tools")};
    acme["formats"] = {{{"name", "size"}, {"choices", {"S", "M"}}}};
    json shirt = full_product("TOOLS", "RED SHIRT", "Red shirt");
    shirt["price"] = 25;
    shirt["keywords"] = {"TEE"};
    json hat = full_product("TOOLS", "HAT", "Sun hat");
    acme["products"] = {shirt, hat};
    ASSERT_EQ(mall.import(json{{"stores", {acme}}}).status, 0);

    json out = mall.exported()["stores"][0];
    EXPECT_EQ(out["name"], "Acme Goods, renamed");
    EXPECT_FALSE(out.contains("extended")) << "the extended record goes with an entry that has none";
    ASSERT_EQ(out["departments"].size(), 3u);
    EXPECT_EQ(out["departments"][1]["id"], "GARDEN");  // not listed: stays
    EXPECT_EQ(out["departments"][2]["name"], "Hand tools");
    ASSERT_EQ(out["formats"].size(), 2u);
    EXPECT_EQ(out["formats"][0]["name"], "COLOR");
    EXPECT_EQ(out["formats"][1], json({{"name", "size"}, {"choices", {"S", "M"}}}));
    ASSERT_EQ(out["products"].size(), 4u) << out["products"].dump(2);
    EXPECT_EQ(out["products"][0]["keywords"], json({"HOSE"}));  // an unlisted product keeps its own
    EXPECT_EQ(out["products"][1]["id"], "HAT");
    EXPECT_EQ(out["products"][2]["price"], 25);
    EXPECT_EQ(out["products"][2]["keywords"], json({"TEE"}));  // replaced, not added to
    EXPECT_EQ(mall.exported()["stores"][1]["name"], "Bayside Books");  // another store is untouched
}

TEST(MallctlCatalogue, KeywordsDefaultToTheWordsOfTheName) {
    Mall mall;
    json doc = {{"stores", {{{"id", "K"}, {"departments", {{{"id", "D"}}}},
                             {"products", {{{"department", "D"}, {"id", "A"}, {"name", " Red  wool shirt red "}},
                                           {{"department", "D"}, {"id", "B"}, {"name", "Supercalifragilisticexpialidocious ok"}},
                                           {{"department", "D"}, {"id", "C"}, {"name", "Given"}, {"keywords", {"lamp", "Lamp"}}},
                                           {{"department", "D"}, {"id", "E"}, {"name", "None at all"}, {"keywords", json::array()}}}}}}}};
    ASSERT_EQ(mall.import(doc).status, 0);
    json products = mall.exported()["stores"][0]["products"];
    EXPECT_EQ(products[0]["keywords"], json({"RED", "WOOL", "SHIRT"}));
    EXPECT_EQ(products[1]["keywords"], json({"SUPERCALIFRAGILISTI", "OK"}));
    EXPECT_EQ(products[2]["keywords"], json({"LAMP"}));
    EXPECT_EQ(products[3]["keywords"], json::array());
}

TEST(MallctlCatalogue, ProductsAreReplacedWhereverTheFileListsThem) {
    Mall mall;
    json store = {{"id", "S"}, {"departments", {{{"id", "D1"}}, {{"id", "D2"}}}},
                  {"products", {{{"department", "D1"}, {"id", "A"}, {"name", "a one"}},
                                {{"department", "D1"}, {"id", "B"}, {"name", "b one"}},
                                {{"department", "D2"}, {"id", "A"}, {"name", "other a"}}}}};
    ASSERT_EQ(mall.import(json{{"stores", {store}}}).status, 0);

    // The departments' products interleaved, ids in other capitals, and one new product.
    store["products"] = {{{"department", "d2"}, {"id", "a"}, {"name", "other a two"}},
                         {{"department", "D1"}, {"id", "C"}, {"name", "c new"}},
                         {{"department", "D1"}, {"id", "b"}, {"name", "b two"}}};
    auto r = mall.import(json{{"stores", {store}}});
    ASSERT_EQ(r.status, 0) << r.err;
    json products = mall.exported()["stores"][0]["products"];
    ASSERT_EQ(products.size(), 4u) << products.dump(2);
    auto names = [&](size_t i) { return products[i]["department"].get<std::string>() + "/" +
                                        products[i]["id"].get<std::string>() + " " +
                                        products[i]["keywords"].dump(); };
    EXPECT_EQ(names(0), "D1/A [\"A\",\"ONE\"]");
    EXPECT_EQ(names(1), "D1/b [\"B\",\"TWO\"]");
    EXPECT_EQ(names(2), "D1/C [\"C\",\"NEW\"]");
    EXPECT_EQ(names(3), "D2/a [\"OTHER\",\"A\",\"TWO\"]");
}

TEST(MallctlCatalogue, AStoreEntryMeansTheSameWhateverTheOrderOfItsMembers) {
    Mall mall;
    // Products before the store's id: they still belong to the store.
    auto r = mall.import_text(R"({"stores": [{"products": [{"department": "D", "id": "X", "name": "Early"}],
                                              "id": "late", "departments": [{"id": "D"}]}]})");
    ASSERT_EQ(r.status, 0) << r.err;
    json late = mall.exported()["stores"][0];
    EXPECT_EQ(late["id"], "LATE");
    ASSERT_EQ(late["products"].size(), 1u);
    EXPECT_EQ(late["products"][0]["id"], "X");
    EXPECT_EQ(late["products"][0]["keywords"], json({"EARLY"}));

    // The problems come in the order of the record, the store's own values before its products.
    r = mall.import_text(R"({"stores": [{"products": [{"department": "D", "id": "Y", "price": -1}],
                                         "id": "S", "name": 5, "departments": [{"id": "D"}]},
                                        {"id": "T", "products": [{"department": "D", "id": "Z", "flags": "x"}]}]})");
    EXPECT_EQ(r.status, 1);
    size_t name = r.err.find("stores[0].name: wrong type: expected a text, got a number");
    size_t price = r.err.find("stores[0].products[0].price: -1 is negative");
    size_t flags = r.err.find("stores[1].products[0].flags: wrong type: expected a whole number, got a text");
    size_t dept = r.err.find("stores[1].products[0].department: no department D in store T");
    ASSERT_NE(name, std::string::npos) << r.err;
    ASSERT_NE(flags, std::string::npos) << r.err;
    EXPECT_TRUE(name < price && price < flags && flags < dept) << r.err;
    EXPECT_NE(r.err.find("4 problems in"), std::string::npos) << r.err;

    // A member named twice counts once, the last time, as in any JSON reader.
    r = mall.import_text(R"({"stores": [{"id": "S", "departments": [{"id": "D"}],
                                         "products": [{"department": "D", "id": "OLD"}],
                                         "products": [{"department": "D", "id": "NEW"}]}]})");
    ASSERT_EQ(r.status, 0) << r.err;
    json s = mall.exported()["stores"][1];
    EXPECT_EQ(s["id"], "S");
    ASSERT_EQ(s["products"].size(), 1u) << s.dump(2);
    EXPECT_EQ(s["products"][0]["id"], "NEW");
}

TEST(MallctlCatalogue, ImportTellsOnStandardErrorHowFarItHasCome) {
    Mall mall;
    const std::string text = sample().dump(2);
    const std::string file = mall.root.file("in.json");
    auto r = mall.import_text(text);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string size = std::to_string(text.size());
    const std::string lines[] = {
        "mallctl import: reading " + file + ": " + size + " of " + size + " bytes\n",
        "mallctl import: checking " + file + ": " + size + " of " + size + " bytes, 4 products\n",
        "mallctl import: writing products: 4 of 4\n",
        "mallctl import: committing\n",
    };
    size_t last = 0;
    for (const std::string &line : lines) {
        size_t at = r.err.find(line);
        ASSERT_NE(at, std::string::npos) << line << "in\n" << r.err;
        EXPECT_GE(at, last) << line << "out of order in\n" << r.err;
        last = at;
    }
    EXPECT_EQ(r.err.find("writing products", r.err.find("writing products") + 1), std::string::npos)
        << "a short phase has one line\n" << r.err;
    EXPECT_NE(r.out.find("imported 2 stores"), std::string::npos) << r.out;

    // A file with problems is checked but nothing is written.
    json bad = sample();
    bad["stores"][0]["products"][0]["price"] = "free";
    r = mall.import(bad);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(", 4 products\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("writing products"), std::string::npos) << r.err;
}

// An order of store ACME written into the order file as the mall library stores one.
void write_order(const std::string &root, int32_t number) {
    e2e::use_data_of(root);
    HostFile orders = OpenMallFile(MallFile::order);
    ASSERT_GE(orders, 0);
    StoredOrder order{};
    order.order_number = number;
    std::strcpy(order.store_id, "ACME");
    std::strcpy(order.status, kOrderStatusSubmitted);
    _dfaSetBlk(orders);
    EXPECT_TRUE(_dfaInsertV(&order, sizeof order));
    _dfaRstBlk();
    host::datafile_close_all();
}

std::vector<int32_t> order_numbers(const std::string &root) {
    e2e::use_data_of(root);
    HostFile orders = OpenMallFile(MallFile::order);
    std::vector<int32_t> numbers;
    std::vector<unsigned char> buffer(kOrderFileRecordSize);
    unsigned char key[kStoreIdSize + 4] = {};
    _dfaSetBlk(orders);
    for (bool more = _dfaAcqLock(buffer.data(), key, 0, HOST_GET_GREATER_EQUAL, 0); more; more = _dfaQueryNP(HOST_QUERY_NEXT)) {
        _dfaGetAbsLock(buffer.data(), _dfaAbs(), 0, 0);
        int32_t number;
        std::memcpy(&number, buffer.data(), sizeof number);
        numbers.push_back(number);
    }
    _dfaRstBlk();
    host::datafile_close_all();
    return numbers;
}

TEST(MallctlCatalogue, RemoveTakesARecordWithWhatItHoldsAndLeavesOrders) {
    Mall mall;
    ASSERT_EQ(mall.import(sample()).status, 0);
    write_order(mall.root.path(), 1001);

    auto r = e2e::mallctl(mall.root.path(), {"remove", "acme", "tools", "red shirt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("removed product RED SHIRT of department TOOLS of store ACME with 3 keywords"),
              std::string::npos) << r.out;
    json acme = mall.exported()["stores"][0];
    ASSERT_EQ(acme["products"].size(), 2u);
    EXPECT_EQ(acme["products"][1]["id"], "V1.5-X_Y");

    r = e2e::mallctl(mall.root.path(), {"remove", "ACME", "GARDEN"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("removed department GARDEN of store ACME with 1 product, 1 keyword"), std::string::npos)
        << r.out;
    acme = mall.exported()["stores"][0];
    EXPECT_EQ(acme["departments"].size(), 2u);
    EXPECT_EQ(acme["products"].size(), 1u);

    // The same product id in another store is another product.
    EXPECT_EQ(mall.exported()["stores"][1]["products"][0]["id"], "HOSE");

    for (const auto &args : std::vector<std::vector<std::string>>{
             {"remove", "NOSTORE"}, {"remove", "ACME", "GARDEN"}, {"remove", "ACME", "TOOLS", "NONE"},
             {"remove", "ACMEACMEACME"}, {"remove"}}) {
        const std::string before = mall.export_text();
        auto refused = e2e::mallctl(mall.root.path(), args);
        EXPECT_NE(refused.status, 0) << args.size();
        EXPECT_EQ(mall.export_text(), before);
    }
    EXPECT_NE(e2e::mallctl(mall.root.path(), {"remove", "NOSTORE"}).err.find("no store NOSTORE"), std::string::npos);

    r = e2e::mallctl(mall.root.path(), {"remove", "ACME"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("removed store ACME with 2 departments, its extended record, 2 formats, 1 product, 0 keywords"),
              std::string::npos) << r.out;
    json left = mall.exported();
    ASSERT_EQ(left["stores"].size(), 1u);
    EXPECT_EQ(left["stores"][0]["id"], "BAYSIDE");

    // A store imported again under the old id starts empty: nothing of the old one lingers.
    ASSERT_EQ(mall.import(json{{"stores", {{{"id", "ACME"}}}}}).status, 0);
    json fresh = mall.exported()["stores"][0];
    EXPECT_EQ(fresh["id"], "ACME");
    EXPECT_TRUE(fresh["departments"].empty() && fresh["formats"].empty() && fresh["products"].empty()) << fresh.dump();
    EXPECT_EQ(order_numbers(mall.root.path()), std::vector<int32_t>{1001});
}

TEST(MallctlCatalogue, CommandsWorkWhileHostdServesTheRoot) {
    Mall mall;
    e2e::Host host(mall.root.path());
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    auto r = mall.import(sample());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(mall.exported(), sample());
    EXPECT_EQ(e2e::get(host.port(), "/shopvera.css").status, 200);
    // The next request sees the change: the shipped store list names the stores.
    auto list = e2e::get(host.port(), "/webmall?CMD=storelist");
    EXPECT_EQ(list.status, 200);
    EXPECT_NE(list.body.find("Acme Goods"), std::string::npos) << list.body;
    EXPECT_EQ(e2e::mallctl(mall.root.path(), {"remove", "ACME"}).status, 0);
    EXPECT_EQ(mall.exported()["stores"].size(), 1u);
    list = e2e::get(host.port(), "/webmall?CMD=storelist");
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(list.body.find("Acme Goods"), std::string::npos) << list.body;
    EXPECT_EQ(host.stop(), 0);
}

// Pages asked again and again are answered alike; a product mallctl changes meanwhile shows
// changed on the very next page, and changed back on the one after the next change.
TEST(MallctlCatalogue, AProductChangedWhileHostdServesShowsOnTheNextPage) {
    Mall mall;
    ASSERT_EQ(mall.import(sample()).status, 0);
    e2e::Host host(mall.root.path());
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    const std::string page = "/webmall?CMD=prodinfo&SID=ACME&DID=TOOLS&PID=RED+SHIRT";
    const std::string list = "/webmall?CMD=prodlist&SID=ACME&DID=TOOLS";
    auto first = e2e::get(host.port(), page);
    ASSERT_EQ(first.status, 200);
    ASSERT_NE(first.body.find("Red shirt"), std::string::npos) << first.body;
    const std::string first_list = e2e::get(host.port(), list).body;
    ASSERT_NE(first_list.find("Red shirt"), std::string::npos) << first_list;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(e2e::get(host.port(), page).body, first.body) << i;
        EXPECT_EQ(e2e::get(host.port(), list).body, first_list) << i;
    }

    json changed = sample();
    json &shirt = changed["stores"][0]["products"][1];
    ASSERT_EQ(shirt["id"], "RED SHIRT");
    shirt["name"] = "Crimson shirt";
    shirt["price"] = 23.45;
    ASSERT_EQ(mall.import(changed).status, 0);
    auto after = e2e::get(host.port(), page);
    EXPECT_EQ(after.status, 200);
    EXPECT_NE(after.body.find("Crimson shirt"), std::string::npos) << after.body;
    EXPECT_NE(after.body.find("23.45"), std::string::npos) << after.body;
    EXPECT_EQ(after.body.find("Red shirt"), std::string::npos) << after.body;
    std::string after_list = e2e::get(host.port(), list).body;
    EXPECT_NE(after_list.find("Crimson shirt"), std::string::npos) << after_list;
    EXPECT_EQ(e2e::get(host.port(), page).body, after.body);

    ASSERT_EQ(mall.import(sample()).status, 0);
    EXPECT_EQ(e2e::get(host.port(), page).body, first.body);
    EXPECT_EQ(e2e::get(host.port(), list).body, first_list);
    EXPECT_EQ(e2e::mallctl(mall.root.path(), {"remove", "ACME"}).status, 0);
    auto gone = e2e::get(host.port(), page);
    EXPECT_EQ(gone.body.find("Red shirt"), std::string::npos) << gone.body;
    EXPECT_EQ(host.stop(), 0);
}

// On PostgreSQL a host keeps its last read transaction open between requests for a moment, so
// that the next request starts in the same message that ends it. Left idle, it must give up its
// locks soon, or a change of the tables (here: an exclusive lock on every table, what changing a
// table's keys takes) would wait for the host's next request; and a change committed while it
// was open shows in the next page.
TEST(MallctlCatalogue, AnIdleHostOnPostgresqlHoldsUpNoChangeOfTheTablesAndSeesChangesAtOnce) {
    if (e2e::postgres_socket().empty()) GTEST_SKIP() << "runs inside tests/postgres/with-cluster.sh";
    Mall mall;
    e2e::Host host(mall.root.path());
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    ASSERT_EQ(mall.import(sample()).status, 0);
    auto list = e2e::get(host.port(), "/webmall?CMD=storelist");
    EXPECT_NE(list.body.find("Acme Goods"), std::string::npos) << list.body;

    json renamed = sample();
    renamed["stores"][0]["name"] = "Acme Hardware";
    auto r = mall.import(renamed);
    ASSERT_EQ(r.status, 0) << r.err;
    list = e2e::get(host.port(), "/webmall?CMD=storelist");
    EXPECT_NE(list.body.find("Acme Hardware"), std::string::npos) << list.body;
    EXPECT_EQ(list.body.find("Acme Goods"), std::string::npos) << list.body;

    // A lock the host still held would make this wait out the lock timeout and fail.
    auto locked = e2e::run(
        {"/usr/bin/psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", e2e::postgres_socket(), "-U", "shopvera",
         "-d", mall.root.database(), "-c", "SET lock_timeout = '10s'", "-c",
         "DO $$DECLARE t record; BEGIN FOR t IN SELECT schemaname, tablename FROM pg_tables WHERE schemaname "
         "IN ('catalogue', 'accounts', 'customers', 'orders') LOOP EXECUTE format('LOCK TABLE %I.%I IN ACCESS "
         "EXCLUSIVE MODE', t.schemaname, t.tablename); END LOOP; END$$"});
    EXPECT_EQ(locked.status, 0) << locked.err;
    list = e2e::get(host.port(), "/webmall?CMD=storelist");
    EXPECT_NE(list.body.find("Acme Hardware"), std::string::npos) << list.body;
    EXPECT_EQ(host.stop(), 0);
}

bool image_file(const std::string &path) {
    std::string head = e2e::read_file(path).substr(0, 8);
    return head == "\x89PNG\r\n\x1a\n" || head.rfind("GIF89a", 0) == 0 || head.rfind("GIF87a", 0) == 0 ||
           head.rfind("\xff\xd8\xff", 0) == 0;
}

TEST(MallctlCatalogue, TheDemoMallIsCompleteAndRoundTrips) {
    TempRoot root;
    auto r = e2e::mallctl(root.path(), {"init", "--demo"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto exported = e2e::mallctl(root.path(), {"export"});
    ASSERT_EQ(exported.status, 0);
    json demo = json::parse(exported.out);

    size_t products = 0;
    int flags = 0;
    bool spaced_id = false, member_prices = false, discounts = false, downloads = false, closed_dept = false;
    std::set<std::string> access_keys, member_keys;
    std::set<int> kinds;
    const std::string www = root.file("www/");
    EXPECT_TRUE(image_file(www + "KVZSV/KVZSVBKG.gif"));
    ASSERT_GE(demo["stores"].size(), 3u);
    for (const json &s : demo["stores"]) {
        const std::string sid = s["id"];
        EXPECT_TRUE(s.contains("extended")) << sid;
        EXPECT_GE(s["departments"].size(), 2u) << sid;
        EXPECT_FALSE(s["formats"].empty()) << sid;
        if (!s["access_key"].get<std::string>().empty()) access_keys.insert(s["access_key"]);
        EXPECT_TRUE(image_file(www + "KVZSV/" + sid + "/" + s["icon"].get<std::string>())) << sid;
        EXPECT_TRUE(image_file(www + "KVZSV/" + sid + "/KVZSVBKG.gif")) << sid;
        for (const json &d : s["departments"]) {
            EXPECT_TRUE(image_file(www + "KVZSV/" + sid + "/" + d["id"].get<std::string>() + "/" +
                                   d["icon"].get<std::string>())) << sid << "/" << d["id"];
            closed_dept = closed_dept || (d["flags"].get<int>() & 1);
        }
        for (const json &p : s["products"]) {
            ++products;
            flags |= p["flags"].get<int>();
            kinds.insert(p["info_kind"].get<int>());
            spaced_id = spaced_id || p["id"].get<std::string>().find(' ') != std::string::npos;
            if (p["flags"].get<int>() & kProductMemberPrice) {
                member_prices = true;
                member_keys.insert(p["member_key"]);
            }
            discounts = discounts || !p["discounts"].empty();
            downloads = downloads || !p["download"].get<std::string>().empty();
            EXPECT_FALSE(p["keywords"].empty()) << p["id"];
            std::string first = p["pictures"][0];
            EXPECT_FALSE(first.empty()) << p["id"];
            for (std::string picture : p["pictures"]) {
                if (picture.empty()) continue;
                for (char &ch : picture) ch = ch == '\\' ? '/' : ch;
                EXPECT_TRUE(image_file(www + picture)) << picture;
            }
            for (const char *media : {"abstract", "sound"}) {
                std::string ref = p[media];
                for (char &ch : ref) ch = ch == '\\' ? '/' : ch;
                if (!ref.empty()) {
                    EXPECT_TRUE(e2e::file_exists(www + ref)) << ref;
                }
            }
        }
    }
    EXPECT_GE(products, 40u);
    EXPECT_EQ(flags, 0x7F) << "every product flag is used";
    EXPECT_EQ(kinds, (std::set<int>{0, 1, 2, 3}));
    EXPECT_TRUE(spaced_id && member_prices && discounts && downloads && closed_dept);
    ASSERT_FALSE(access_keys.empty());

    // The demo member holds a store's access key and a member-price key; the other holds none.
    e2e::use_data_of(root.path());
    ASSERT_TRUE(host::accounts_open());
    HostAccount member{}, shopper{};
    ASSERT_TRUE(host::account_find("member", &member));
    ASSERT_TRUE(host::account_find("shopper", &shopper));
    host::datafile_close_all();
    const std::string keys = std::string(" ") + member.keys + " ";
    EXPECT_NE(keys.find(" " + *access_keys.begin() + " "), std::string::npos) << keys;
    EXPECT_NE(keys.find(" " + *member_keys.begin() + " "), std::string::npos) << keys;
    EXPECT_EQ(std::string(shopper.keys), "");

    e2e::write_file(root.file("again.json"), exported.out);
    auto again = e2e::mallctl(root.path(), {"import", root.file("again.json")});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(e2e::mallctl(root.path(), {"export"}).out, exported.out);
}

}  // namespace
