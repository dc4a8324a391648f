// "submit": the final form of the totals page turns the current order into a stored order in
// the order file, hands it to the mall library and confirms it to the shopper ("SWODONE.HTM").
#include <cstring>

#include "catalogue/rules.h"
#include "checkout/options.h"
#include "checkout/shipping.h"
#include "orders/amounts.h"
#include "orders/slots.h"
#include "shell/buffers.h"
#include "shell/companion_entries.h"
#include "shell/options.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr int kEmailSize = 80;  // an address is kept to 79 characters, prefix included

// Tries of one submission to find a free order number, and where the look-ups between them
// read the record they find.
constexpr int kOrderNumberTries = 8;
alignas(StoredOrderBuffer) unsigned char NumberScratch[kOrderFileRecordSize];

StoredOrderBuffer *OrderRec() { return reinterpret_cast<StoredOrderBuffer *>(OrderBuffer); }

// The number the store's next order gets: one more than its highest so far, or 1.
//
// Key 0 is the store id followed by the order number, so the store's highest number is the last
// record below (store id, largest number). A key built from the store id with its last
// character raised would find the last record below the next store id instead, and that can be
// a neighbour whose id only begins with this one ("ACMEX" lies between "ACME" and "ACMF"). And
// when the store has no orders at all, the record found belongs to whatever store precedes it;
// so the record found counts only when it is this store's own.
//
// The record found is read into buffer: the order buffer, or, while an order is being stored
// there, another one.
int32_t NextOrderNumber(const char *store_id, void *buffer = OrderBuffer) {
    OrderKey0 key{};
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    key.order_number = INT32_MAX;
    _dfaSetBlk(Mall.order_file);
    bool found = _dfaAcqLock(buffer, &key, kOrderKeyStore, HOST_GET_LESS, 0);
    _dfaRstBlk();
    if (!found) return 1;
    const StoredOrder *last = &reinterpret_cast<const StoredOrderBuffer *>(buffer)->order;
    char last_store[kStoreIdSize];
    _stzcpy(last_store, last->store_id, sizeof last_store);
    if (!_sameas(last_store, store_id)) return 1;
    // Below the largest number, so one more still fits.
    return last->order_number + 1;
}

// Fills one item of the stored order from the order's item and its product record; handling
// says whether the chosen shipping method charges handling.
void FillItem(StoredOrderItem *stored, const OrderItem &item, const ProductRecord *product,
              const char *store_id, bool handling) {
    stored->quantity = item.quantity;
    _stzcpy(stored->dept_id, product->dept_id, sizeof stored->dept_id);
    _stzcpy(stored->product_id, item.product_id, sizeof stored->product_id);
    _stzcpy(stored->name, product->name, sizeof stored->name);
    stored->unit_price = item.unit_price;
    stored->handling =
        handling ? static_cast<float>(ItemHandling(item.quantity, product->handling_first,
                                                   product->handling_more))
                 : 0.0f;
    if (item.download) {
        _stzcpy(stored->format1, "DOWNLOAD", sizeof stored->format1);
    } else {
        // No choice made leaves the field empty.
        _stzcpy(stored->format1, FormatText(store_id, product->format1, item.choice1),
                sizeof stored->format1);
        _stzcpy(stored->format2, FormatText(store_id, product->format2, item.choice2),
                sizeof stored->format2);
    }
    stored->line_weight = static_cast<float>(static_cast<double>(item.quantity) * item.unit_weight);
    stored->discount = item.discount;
}

// The order the mall library refused comes out of the order file again, found by key 1.
void RemoveStoredOrder(const char *store_id, int32_t number) {
    OrderKey1 key{};
    key.order_number = number;
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    _dfaSetBlk(Mall.order_file);
    bool removed = _dfaAcqLock(OrderBuffer, &key, kOrderKeyNumber, HOST_GET_EQUAL, 0) && _dfaDelete();
    _dfaRstBlk();
    if (!removed) TraceLine("Unable to remove refused order %s %d", store_id, static_cast<int>(number));
}

}  // namespace

MODULE_EXPORT void SubmitPurchase(void) {
    OrderSlot *order = CurrentOrder();
    if (order == nullptr) {
        Error(_getMsgBlk(45));
        return;
    }

    // An anonymous buyer reviews the order later with this address, so it must be one.
    const bool verified = UserVerified();
    char address[kEmailSize] = "";
    if (!verified) {
        char email[kEmailSize];
        TakeParam(email, sizeof email, "EMAIL");
        if (email[0] == '\0') {
            Error(_getMsgBlk(42));
            return;
        }
        _stzcpy(address, OptionText(OptEmailPrefix), sizeof address);
        _stzcat(address, email, sizeof address);
        if (!_adrxst(address)) {
            Error(_getMsgBlk(36));
            return;
        }
    }

    char store_id[kStoreIdSize];
    _stzcpy(store_id, order->store_id, sizeof store_id);
    const ExtendedStoreRecord *ext = ReadExtStore(store_id);
    if (ext == nullptr) {
        Error(_getMsgBlk(46));
        return;
    }

    const float largest = ext->max_order;
    const float total = static_cast<float>(static_cast<double>(order->subtotal) + order->shipping +
                                           order->handling + order->tax);
    if (largest > 0 && total > largest) {
        STable table;
        SetCommonEntries(&table);
        table.SetFloat("max", largest);
        RunScript("maxamnt.htm", &table, "kvzsvw\\", WebOut);
        return;
    }

    // The head of the record, in a buffer zeroed so that every byte not filled is zero.
    const int16_t count = order->count;
    int32_t number = NextOrderNumber(store_id);
    std::memset(OrderBuffer, 0, kOrderBufferSize);
    StoredOrderBuffer *record = OrderRec();
    StoredOrder *stored = &record->order;
    const ShippingMethod method = ParseShippingLine(order->shipping_line);

    stored->order_number = number;
    _stzcpy(stored->store_id, store_id, sizeof stored->store_id);
    stored->date = static_cast<uint16_t>(_cofdat(_today()));
    stored->time = _now();
    stored->item_count = count;
    stored->payment_type = static_cast<uint16_t>(TranslatePopt(static_cast<int16_t>(order->purchase_option)));
    _stzcpy(stored->payment.holder, order->payment.holder, kPaymentTextSize);
    _stzcpy(stored->payment.address, order->payment.address, kPaymentTextSize);
    _stzcpy(stored->payment.zip, order->payment.zip, kPaymentTextSize);
    _stzcpy(stored->payment.number, order->payment.number, kPaymentTextSize);
    _stzcpy(stored->payment.expiry, order->payment.expiry, kPaymentTextSize);
    std::memcpy(&stored->customer, &order->customer, sizeof stored->customer);
    if (verified) _stlcpy(stored->customer.user_id, CurrentUserId(), kCustomerUserIdSize);
    stored->ship_first = method.first;
    stored->ship_more = method.more;
    _stzcpy(stored->ship_method, method.name, sizeof stored->ship_method);
    stored->handling_flag = method.handling ? 1 : 0;
    stored->tax_rate1 = order->tax_rate1;
    stored->subtotal = order->subtotal;
    stored->handling = order->handling;
    stored->shipping = order->shipping;
    stored->tax = order->tax;
    _stzcpy(stored->status, kOrderStatusSubmitted, sizeof stored->status);
    for (int i = 0; i < kAnswers; ++i) TakeParam(stored->answers[i], kAnswerSize, _spr("IA%d", i));
    stored->tax_rate2 = order->tax_rate2;
    stored->compound_tax = static_cast<int16_t>(ext->tax_settings & 64);
    stored->origin = verified ? kOriginVerified : kOriginAnonymous;

    for (int i = 0; i < count && i < kOrderSlotItems; ++i) {
        const OrderItem &item = order->items[i];
        const ProductRecord *product = ReadProduct(item.store_id, item.dept_id, item.product_id);
        if (product == nullptr) {
            Error(_getMsgBlk(44));
            return;
        }
        FillItem(&record->items[i], item, product, store_id, method.handling);
    }
    if (!verified) _stlcpy(StoredOrderPassword(record, count), address, kOrderPasswordSize);

    // An order emptied in the cart has nothing left to deliver; it is not stored.
    if (count <= 0) {
        Error(_getMsgBlk(50));
        return;
    }
    // The amounts come from the totals page; after a change of the cart, the address or the
    // shipping method they are stale, and the buyer must see the new totals first.
    if (!order->priced) {
        Error("Your order has changed since its totals were shown. Please go through checkout again "
              "to see the new totals before you submit it.");
        return;
    }
    // A member account or a purchase order is charged to the user who chose it; only that user,
    // verified for this request too, may submit the order.
    if ((order->purchase_option == kOptionMember || order->purchase_option == kOptionPurchaseOrder) &&
        (!verified || order->purchase_user[0] == '\0' || !_sameas(order->purchase_user, CurrentUserId()))) {
        Error(_getMsgBlk(37));
        return;
    }

    // The host's insert is durable when it returns 1; nothing is confirmed before that. Hosts
    // that share the order file may take the same number for a store at once: the unique key
    // lets one of them store it and refuses the others, which take the next number and try
    // again. A refusal while the store's highest number stays the same is the file's own.
    bool inserted = false;
    for (int attempt = 0; attempt < kOrderNumberTries; ++attempt) {
        stored->order_number = number;
        _dfaSetBlk(Mall.order_file);
        inserted = _dfaInsertV(record, StoredOrderLength(count, !verified));
        _dfaRstBlk();
        if (inserted) break;
        const int32_t next = NextOrderNumber(store_id, NumberScratch);
        if (next == number) break;
        number = next;
    }
    if (!inserted) {
        TraceLine("Unable to store order %s %d", store_id, static_cast<int>(number));
        Error(_getMsgBlk(31));
        return;
    }

    const bool accepted = pSubmitOrder != nullptr && pSubmitOrder(store_id, number) != 0;
    if (!accepted) {
        RemoveStoredOrder(store_id, number);
        Error(_getMsgBlk(31));
        return;
    }

    // Freed before the page is built, so its cart links already show the shopper without an
    // order; the page goes out only after this request anyway.
    FreeCurrentOrder();
    STable table;
    SetCommonEntries(&table);
    table.Set("STOREID", store_id);
    table.SetLong("INVNUM", number);
    table.Set("EMAILADDR", HtmlEscape(verified ? CurrentUserId() : address));
    CParse parse("SWODONE.HTM", &table, "kvzsvw\\", WebOut, store_id);
    parse.Parse();
}
