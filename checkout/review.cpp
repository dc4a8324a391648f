// "review": a buyer sees a submitted order again, from any browser, with the store, the order
// number and the order password; without number or password the review form is shown.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "catalogue/rules.h"
#include "checkout/checkout.h"
#include "checkout/options.h"
#include "orders/slots.h"
#include "shell/buffers.h"
#include "shell/companion_entries.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr int kOrderIdSize = 10;     // "OID": at most 9 digits
constexpr int kPasswordSize = 100;   // "PSWORD": at most 99 characters

StoredOrderBuffer *OrderRec() { return reinterpret_cast<StoredOrderBuffer *>(OrderBuffer); }

// The order number typed, as atol reads it; false when it does not fit 32 bits.
bool OrderNumber(const char *text, int32_t *number) {
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
    *number = static_cast<int32_t>(value);
    return true;
}

// Reads the order with key 1 into the order buffer (zeroed first, so whatever a short record
// lacks reads as zero); the number of its items the record really holds, or -1 when there is
// no such order.
int ReadOrder(int32_t number, const char *store_id) {
    OrderKey1 key{};
    key.order_number = number;
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    std::memset(OrderBuffer, 0, kOrderBufferSize);
    _dfaSetBlk(Mall.order_file);
    bool found = _dfaAcqLock(OrderBuffer, &key, kOrderKeyNumber, HOST_GET_EQUAL, 0);
    int length = found ? _dfaRecLen() : 0;
    _dfaRstBlk();
    if (!found) return -1;
    int16_t count = OrderRec()->order.item_count;
    int held = length > kStoredOrderSize ? (length - kStoredOrderSize) / kStoredOrderItemSize : 0;
    if (count < 0) count = 0;
    return count < held ? count : held;
}

// The record's order password: the buyer's user id for an order of a verified buyer, else the
// text after the items. Into password (kPasswordSize bytes).
void OrderPassword(const StoredOrderBuffer *record, int count, char *password) {
    const StoredOrder *order = &record->order;
    if (order->origin == kOriginVerified) {
        _stzcpy(password, order->customer.user_id, kCustomerUserIdSize);
        return;
    }
    password[0] = '\0';
    if (count >= kStoredOrderMaxItems) return;  // no room behind the items for a password
    const char *text = reinterpret_cast<const char *>(record) + kStoredOrderSize +
                       count * kStoredOrderItemSize;
    _stzcpy(password, text, kPasswordSize);
}

// The name of the purchase option whose bit number the order stored.
const char *PaymentText(uint16_t code) {
    if (code == kOptionNothingToPay) return TextPopt(static_cast<int16_t>(kOptionNothingToPay));
    if (code >= kMallOptionTexts) return "";
    return TextPopt(static_cast<int16_t>(1 << code));
}

}  // namespace

MODULE_EXPORT void Review(void) {
    STable table;

    char sid[kStoreIdSize];
    TakeParam(sid, sizeof sid, "SID");
    for (char *p = sid; *p != '\0'; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    const StoreRecord *store = ReadStore(sid);
    if (store == nullptr || store->record_type != kRecordStore) {
        Error(_getMsgBlk(46));
        return;
    }
    table.Set("STOREID", store->store_id);
    SetStoreEntries(&table, store, store->store_id);
    table.Set("STOREDESC", store->description);

    // Without an extended record the page still shows, with no weight unit and no questions.
    const ExtendedStoreRecord *ext = ReadExtStore(sid);
    if (ext == nullptr) {
        std::memset(ExtStoreBuffer, 0, kExtStoreBufferSize);
        ext = ExtStoreRec();
    }

    char oid[kOrderIdSize], password[kPasswordSize];
    TakeParam(oid, sizeof oid, "OID");
    TakeParam(password, sizeof password, "PSWORD");
    if (oid[0] == '\0' || password[0] == '\0') {
        SetCommonEntries(&table);
        table.Set("OID", HtmlEscape(oid));
        CParse form("swrvform.htm", &table, "kvzsvw\\", WebOut, sid);
        form.Parse();
        return;
    }

    int32_t number = 0;
    const int count = OrderNumber(oid, &number) ? ReadOrder(number, sid) : -1;
    if (count < 0) {
        Error("Order Not Found");
        return;
    }
    const StoredOrderBuffer *record = OrderRec();
    const StoredOrder *order = &record->order;
    char stored_password[kPasswordSize];
    OrderPassword(record, count, stored_password);
    if (!_sameas(password, stored_password)) {
        Error("Invalid order password");
        return;
    }

    SetCommonEntries(&table);
    table.Set("EMAIL", HtmlEscape(stored_password));
    CustomerRecord customer;
    std::memcpy(&customer, &order->customer, sizeof customer);
    TerminateTexts(&customer);
    SetCustomerEntries(&table, &customer);

    char text[kStatusSize];
    table.Set("PAYTYPE", PaymentText(order->payment_type));
    table.Set("DATE", _ncdate(_datofc(order->date)));
    table.Set("TIME", _nctime(order->time));
    table.Set("STATUS", HtmlEscape(_stzcpy(text, order->status, sizeof text)));
    table.Set("WEIGHTFMT", ext->weight_format);
    char ship_name[kShipMethodSize];
    table.Set("SHIPNAME", HtmlEscape(_stzcpy(ship_name, order->ship_method, sizeof ship_name)));
    table.SetLong("INVNUM", number);

    CParse parse("SWREVIEW.HTM", &table, "kvzsvw\\", WebOut, sid);
    parse.Parse();

    double weight = 0;
    for (int i = 0; i < count; ++i) {
        const StoredOrderItem *item = &record->items[i];
        char name[sizeof item->name], format1[kItemFormatSize], format2[kItemFormatSize];
        const int16_t quantity = item->quantity;
        const float price = item->unit_price;
        table.Set("PRODNAME", _stzcpy(name, item->name, sizeof name));
        table.SetLong("QUANT", quantity);
        table.SetFloat("PRODPRICE", price);
        table.Set("EXTPRICE", _spr("%1.2f", static_cast<double>(quantity) * price));
        table.Set("PFMT1", _stzcpy(format1, item->format1, sizeof format1));
        table.Set("PFMT2", _stzcpy(format2, item->format2, sizeof format2));
        weight += item->line_weight;
        parse.Repeat();
    }

    const float subtotal = order->subtotal, shipping = order->shipping,
                handling = order->handling, tax = order->tax;
    table.Set("WEIGHTTOTAL", _spr("%1.4f", weight));
    table.SetFloat("SUBTOTAL", subtotal);
    table.SetFloat("SHIPPING", shipping);
    table.SetFloat("HANDLING", handling);
    table.SetFloat("TAX", tax);
    table.SetFloat("TOTAL", static_cast<float>(static_cast<double>(subtotal) + handling + shipping + tax));
    parse.Parse();

    for (int i = 0; i < kQuestions; ++i) {
        char question[kQuestionSize], answer[kAnswerSize];
        _stzcpy(question, ext->questions[i], sizeof question);
        if (question[0] == '\0') continue;
        table.Set("QUES", question);
        table.Set("IA", HtmlEscape(_stzcpy(answer, order->answers[i], sizeof answer)));
        parse.Repeat();
    }
    parse.Parse();
}
