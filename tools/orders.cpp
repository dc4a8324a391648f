// mallctl orders and mallctl order: the stored orders one line each, and one order in full as
// JSON, read from the order file while hostd may be taking new ones.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include <nlohmann/json.hpp>

#include "companions/mall/files.h"
#include "orders/records.h"
#include "orders/order_text.h"
#include "tools/commands.h"

namespace mallctl {
namespace {

using nlohmann::ordered_json;

// One order as read, with the number of items its record really holds.
struct Order {
    StoredOrderBuffer record;
    int items = 0;
};

std::string Field(const char *field, size_t width) { return std::string(field, strnlen(field, width)); }
#define FIELD(record, member) Field((record)->member, sizeof((record)->member))

// The record just read into order (length bytes): its items are those the length holds.
void Count(Order *order, int length) {
    int16_t count = order->record.order.item_count;
    int held = length > kStoredOrderSize ? (length - kStoredOrderSize) / kStoredOrderItemSize : 0;
    order->items = count < 0 ? 0 : (count < held ? count : held);
}

// An anonymous buyer's order password (the e-mail address); "" when the record has none.
std::string Password(const Order &order) {
    if (order.record.order.origin == kOriginVerified || order.items >= kStoredOrderMaxItems) return "";
    const char *text = reinterpret_cast<const char *>(&order.record) + kStoredOrderSize +
                       order.items * kStoredOrderItemSize;
    return Field(text, kOrderPasswordSize);
}

std::string Buyer(const Order &order) {
    if (order.record.order.origin == kOriginVerified) return FIELD(&order.record.order.customer, user_id);
    return Password(order);
}

double Total(const StoredOrder *order) {
    const float subtotal = order->subtotal, shipping = order->shipping, handling = order->handling,
                tax = order->tax;
    return static_cast<double>(subtotal) + shipping + handling + tax;
}

// A stored single-precision amount as the shortest decimal that reads back as the same float,
// so 9.5 shows as 9.5 and 0.1 as 0.1 rather than 0.10000000149011612.
ordered_json Amount(float value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    *result.ptr = '\0';
    return ordered_json(std::strtod(text, nullptr));
}

// The card number's last four digits behind asterisks: the operator's listing is no place for
// the whole number, which stays in the order file. Other texts are shown whole.
std::string MaskedCard(const std::string &number) {
    if (number.size() <= 4) return number;
    return std::string(number.size() - 4, '*') + number.substr(number.size() - 4);
}

ordered_json CustomerJson(const CustomerRecord *c) {
    const uint32_t created_day = c->created_day;
    return ordered_json{
        {"user_id", FIELD(c, user_id)},   {"created_day", created_day},
        {"bname", FIELD(c, bname)},       {"bcompany", FIELD(c, bcompany)},
        {"baddr1", FIELD(c, baddr1)},     {"baddr2", FIELD(c, baddr2)},
        {"bcity", FIELD(c, bcity)},       {"bstate", FIELD(c, bstate)},
        {"bzip", FIELD(c, bzip)},         {"bcountry", FIELD(c, bcountry)},
        {"bphone", FIELD(c, bphone)},     {"bfax", FIELD(c, bfax)},
        {"sname", FIELD(c, sname)},       {"scompany", FIELD(c, scompany)},
        {"saddr1", FIELD(c, saddr1)},     {"saddr2", FIELD(c, saddr2)},
        {"scity", FIELD(c, scity)},       {"sstate", FIELD(c, sstate)},
        {"szip", FIELD(c, szip)},         {"scountry", FIELD(c, scountry)},
        {"sphone", FIELD(c, sphone)},
    };
}

ordered_json ItemJson(const StoredOrderItem *item) {
    const int16_t quantity = item->quantity;
    return ordered_json{
        {"quantity", quantity},
        {"dept_id", FIELD(item, dept_id)},
        {"product_id", FIELD(item, product_id)},
        {"name", FIELD(item, name)},
        {"unit_price", Amount(item->unit_price)},
        {"handling", Amount(item->handling)},
        {"format1", FIELD(item, format1)},
        {"format2", FIELD(item, format2)},
        {"weight", Amount(item->line_weight)},
        {"discount", Amount(item->discount)},
    };
}

ordered_json OrderJson(const Order &order) {
    const StoredOrder *o = &order.record.order;
    const int32_t number = o->order_number;
    const int16_t item_count = o->item_count, handling_flag = o->handling_flag, compound_tax = o->compound_tax;
    const uint16_t payment_type = o->payment_type;
    const int origin = o->origin;
    ordered_json answers = ordered_json::array();
    for (int i = 0; i < kAnswers; ++i) answers.push_back(Field(o->answers[i], kAnswerSize));
    ordered_json items = ordered_json::array();
    for (int i = 0; i < order.items; ++i) items.push_back(ItemJson(&order.record.items[i]));

    ordered_json j;
    j["order_number"] = number;
    j["store_id"] = FIELD(o, store_id);
    j["date"] = OrderDateText(o->date);
    j["time"] = OrderTimeText(o->time);
    j["item_count"] = item_count;
    j["payment_type"] = payment_type;
    j["payment"] = {{"holder", FIELD(&o->payment, holder)},
                    {"address", FIELD(&o->payment, address)},
                    {"zip", FIELD(&o->payment, zip)},
                    {"number", MaskedCard(FIELD(&o->payment, number))},
                    {"expiry", FIELD(&o->payment, expiry)}};
    j["customer"] = CustomerJson(&o->customer);
    j["shipping_first"] = Amount(o->ship_first);
    j["shipping_more"] = Amount(o->ship_more);
    j["ship_name"] = FIELD(o, ship_method);
    j["handling_flag"] = handling_flag;
    j["tax_rate1"] = Amount(o->tax_rate1);
    j["subtotal"] = Amount(o->subtotal);
    j["handling"] = Amount(o->handling);
    j["shipping"] = Amount(o->shipping);
    j["tax"] = Amount(o->tax);
    j["status"] = FIELD(o, status);
    j["answers"] = answers;
    j["tax_rate2"] = Amount(o->tax_rate2);
    j["compound_tax"] = compound_tax;
    j["origin"] = origin;
    j["items"] = items;
    if (o->origin == kOriginAnonymous) j["password"] = Password(order);
    return j;
}

HostFile OpenOrders(const std::string &root) {
    if (!open_root(root)) return -1;
    HostFile file = OpenMallFile(MallFile::order);
    if (file < 0) std::fprintf(stderr, "mallctl: cannot open the order file in data/orders.db\n");
    return file;
}

// Order numbers are 32-bit and positive; anything else names no order.
bool ParseNumber(const std::string &text, int32_t *number) {
    int32_t value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value <= 0) return false;
    *number = value;
    return true;
}

}  // namespace

int cmd_orders(const std::string &root, const Args &args) {
    std::string store;
    bool by_store = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--store" && i + 1 < args.size() && !by_store) {
            store = args[++i];
            by_store = true;
        } else {
            std::fprintf(stderr, "usage: mallctl --root DIR orders [--store SID]\n");
            return 2;
        }
    }
    if (by_store && (store.empty() || store.size() >= kStoreIdSize)) {
        std::fprintf(stderr, "mallctl orders: store id '%s': 1 to %d characters\n", store.c_str(),
                     kStoreIdSize - 1);
        return 2;
    }
    HostFile file = OpenOrders(root);
    if (file < 0) return 1;

    // Key 0 in order: by store, then by number. A zeroed key starts before every record.
    static Order order;
    OrderKey0 key{};
    _stlcpy(key.store_id, store.c_str(), sizeof key.store_id);
    _dfaSetBlk(file);
    std::memset(&order.record, 0, sizeof order.record);
    bool found = _dfaAcqLock(&order.record, &key, kOrderKeyStore, HOST_GET_GREATER_EQUAL, 0);
    while (found) {
        Count(&order, _dfaRecLen());
        const StoredOrder *o = &order.record.order;
        const std::string store_id = FIELD(o, store_id);
        if (by_store && strcasecmp(store_id.c_str(), store.c_str()) != 0) break;
        const int32_t number = o->order_number;
        std::printf("%s\t%d\t%s\t%s\t%s\t%.2f\t%s\n", store_id.c_str(), static_cast<int>(number),
                    OrderDateText(o->date).c_str(), OrderTimeText(o->time).c_str(), FIELD(o, status).c_str(),
                    Total(o), Buyer(order).c_str());
        long position = 0;
        found = _dfaQueryNP(HOST_QUERY_NEXT) && (position = _dfaAbs()) != 0;
        if (found) {
            std::memset(&order.record, 0, sizeof order.record);
            found = _dfaGetAbsLock(&order.record, position, kOrderKeyStore, 0);
        }
    }
    _dfaRstBlk();
    return 0;
}

int cmd_order(const std::string &root, const Args &args) {
    int32_t number = 0;
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: mallctl --root DIR order SID NUMBER\n");
        return 2;
    }
    if (args[0].empty() || args[0].size() >= kStoreIdSize || !ParseNumber(args[1], &number)) {
        std::fprintf(stderr, "mallctl order: no order '%s' in store '%s'\n", args[1].c_str(), args[0].c_str());
        return 1;
    }
    HostFile file = OpenOrders(root);
    if (file < 0) return 1;

    static Order order;
    std::memset(&order.record, 0, sizeof order.record);
    OrderKey1 key{};
    key.order_number = number;
    _stlcpy(key.store_id, args[0].c_str(), sizeof key.store_id);
    _dfaSetBlk(file);
    bool found = _dfaAcqLock(&order.record, &key, kOrderKeyNumber, HOST_GET_EQUAL, 0);
    if (found) Count(&order, _dfaRecLen());
    _dfaRstBlk();
    if (!found) {
        std::fprintf(stderr, "mallctl order: no order %d in store '%s'\n", static_cast<int>(number),
                     args[0].c_str());
        return 1;
    }
    // Texts typed by shoppers may hold bytes that are not UTF-8; they are shown replaced rather
    // than refused, so the order can still be read.
    std::printf("%s\n", OrderJson(order).dump(2, ' ', false, ordered_json::error_handler_t::replace).c_str());
    return 0;
}

}  // namespace mallctl
