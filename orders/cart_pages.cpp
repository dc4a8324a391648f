// The pages that work on the shopper's order: "order" adds a product, changes its quantity or
// takes it out; "shopcart" shows the order priced; "killorder" throws it away.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "catalogue/rules.h"
#include "orders/amounts.h"
#include "orders/items.h"
#include "orders/pages.h"
#include "orders/slots.h"
#include "shell/companion_entries.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr int kQuantitySize = 16;  // at most 15 characters of "OrderQuant"
constexpr int kChoiceSize = 3;     // at most 2 characters of "R1" and "R2"

// A format choice from the request: its number, or -1 when the parameter is empty.
int16_t TakeChoice(const char *name) {
    char text[kChoiceSize];
    TakeParam(text, sizeof text, name);
    return text[0] == '\0' ? -1 : static_cast<int16_t>(std::atol(text));
}

const char *AddResultText(int16_t result) {
    switch (result) {
    case kAddNoSlot: return "Can't allocate a new order";
    case kAddOrderFull: return "This order cannot have any more products";
    case kAddNoProduct: return "Can't find product";
    case kAddOtherStore: return "Order not from the same store";
    case kAddBadQuantity: return "Invalid order quantity";
    case kAddFormatMissing: return "Product format(s) not specified";
    default: return "Can't change the order";
    }
}

// What a shopper who asked for more than the stock on hand is told: how many there are.
const char *StockText(const OrderItem &request) {
    const ProductRecord *product = ReadProduct(request.store_id, request.dept_id, request.product_id);
    const int32_t stock = product != nullptr ? product->stock : 0;
    if (stock <= 0) return "This product is out of stock";
    return _spr("Only %ld in stock: please order %ld or fewer", static_cast<long>(stock), static_cast<long>(stock));
}

// A choice number as the cart's change form hands it back in "R1" and "R2": "" for none.
void SetChoice(STable *table, const char *name, int16_t choice) {
    if (choice == -1) table->Set(name, "");
    else table->SetLong(name, choice);
}

}  // namespace

void OrderPage() {
    char quantity_text[kQuantitySize];
    TakeParam(quantity_text, sizeof quantity_text, "OrderQuant");
    // Fifteen characters always fit a long; the order keeps 16 bits, and no item may ever
    // hold a negative quantity, so anything outside 0 to 32767 is refused before it is cut.
    long quantity = std::atol(quantity_text);
    if (quantity < 0 || quantity > INT16_MAX) {
        Error("Invalid order quantity");
        return;
    }

    char sid[kStoreIdSize], did[kDeptIdSize], pid[kProductIdSize];
    TakeParam(sid, sizeof sid, "SID");
    TakeParam(did, sizeof did, "DID");
    // A removal reads no department: its ids are the request's own.
    const DepartmentRecord *dept = quantity != 0 ? ReadDepartment(sid, did) : nullptr;
    if (quantity != 0 && dept == nullptr) {
        Error(_getMsgBlk(32));
        return;
    }
    // A product page's form hands the identifier back as written in its "PRODID", blanks as
    // '+', and a form sends that '+' encoded; no product identifier holds a '+' of its own.
    _strrpl(TakeParam(pid, sizeof pid, "PID"), '+', ' ');

    STable table;
    table.Set("STOREID", HtmlEscape(sid));
    table.Set("DEPTID", HtmlEscape(did));
    table.Set("PRODID", HtmlEscape(PlusId(pid)));
    SetMallEntries(&table);

    if (dept != nullptr && (dept->flags & kDeptNoOrders)) {
        table.Set("info", _getMsgBlk(30));
        CParse parse("info.htm", &table, "kvzsvw\\", WebOut, sid);
        parse.Parse();
        return;
    }

    OrderItem request{};
    _stzcpy(request.store_id, dept != nullptr ? dept->store_id : sid, sizeof request.store_id);
    _stzcpy(request.dept_id, dept != nullptr ? dept->dept_id : did, sizeof request.dept_id);
    _stzcpy(request.product_id, pid, sizeof request.product_id);
    request.quantity = static_cast<int16_t>(quantity);
    request.choice1 = TakeChoice("R1");
    request.choice2 = TakeChoice("R2");

    int16_t result = AddOrderProduct(request);
    if (result > 0) {
        // The first add has only now created the shopper's slot.
        FindCurrentOrder();
        SetOrderLinks(&table);
        table.Set("msg", "Item Added to order");
        CParse parse("sworder.htm", &table, "kvzsvw\\", WebOut, sid);
        parse.Parse();
    } else if (result == kAddEmptied) {
        SetOrderLinks(&table);
        table.Set("msg", _getMsgBlk(50));
        CParse parse("sworder.htm", &table, "kvzsvw\\", WebOut, sid);
        parse.Parse();
    } else if (result == kAddBeyondStock) {
        Error(StockText(request));
    } else {
        Error(AddResultText(result));
    }
    TraceLine("AddOrderProduct returned %d", result);
}

void ShopCartPage() {
    STable table;
    if (CurrentOrder() == nullptr) {
        Error(_getMsgBlk(45));
        return;
    }
    OrderSlot *order = CurrentOrder();
    SetMallEntries(&table);
    SetOrderLinks(&table);
    table.SetLong("NITEMS", order->count);

    char did[kDeptIdSize], pid[kProductIdSize], store_id[kStoreIdSize];
    TakeParam(did, sizeof did, "DID");
    TakeParam(pid, sizeof pid, "PID");
    _stzcpy(store_id, order->store_id, sizeof store_id);
    table.Set("DEPTID", HtmlEscape(did));
    table.Set("PRODID", HtmlEscape(pid));
    table.Set("STOREID", store_id);

    if (const StoreRecord *store = ReadStore(store_id)) SetStoreEntries(&table, store, store_id);
    table.Set("DEPT", did[0] != '\0' ? _getMsgBlk(21) : "");
    StoreKey1 dept_key = MakeStoreKey1(kRecordDepartment, store_id, did);
    _dfaSetBlk(Mall.store_file);
    bool dept_exists = _dfaQuery(&dept_key, kStoreFileKeyDept, HOST_QUERY_EQUAL);
    _dfaRstBlk();
    table.Set("PROD", dept_exists && pid[0] != '\0' ? _getMsgBlk(24) : "");

    CParse parse("SWSHPCRT.HTM", &table, "kvzsvw\\", WebOut, store_id);
    parse.Parse();

    // An item whose product has left the catalogue has no price any more: it gets no row and
    // no share of the subtotal.
    order->subtotal = 0;
    for (int i = 0; i < order->count; ++i) {
        const OrderItem *item = &order->items[i];
        const ProductRecord *product = ReadProduct(item->store_id, item->dept_id, item->product_id);
        if (product == nullptr) continue;
        table.Set("PID", HtmlEscape(item->product_id));
        table.Set("DEPTID", HtmlEscape(item->dept_id));
        table.Set("PRODNAME", product->name);
        if (item->download) {
            table.Set("PFMT1", "DOWNLOAD");
            table.Set("PFMT2", "-");
        } else {
            table.Set("PFMT1", ChoiceText(product->store_id, product->format1, item->choice1));
            table.Set("PFMT2", ChoiceText(product->store_id, product->format2, item->choice2));
        }
        SetChoice(&table, "R1", item->choice1);
        SetChoice(&table, "R2", item->choice2);
        table.SetLong("QUANT", item->quantity);
        table.SetLong("QUANTBO", item->back_ordered);

        float unit = UnitPriceCharged(ProductPrice(product), QuantityDiscount(item, product));
        double line = item->quantity * static_cast<double>(unit);
        table.SetFloat("PRODPRICE", unit);
        table.SetFloat("EXTPRICE", static_cast<float>(line));
        order->subtotal = static_cast<float>(order->subtotal + line);
        parse.Repeat();
    }
    table.SetFloat("SUBTOTAL", order->subtotal);
    parse.Parse();
}

void KillOrderPage() {
    STable table;
    if (CurrentOrder() == nullptr) {
        Error(_getMsgBlk(45));
        return;
    }
    SetMallEntries(&table);
    char sid[kStoreIdSize], did[kDeptIdSize], pid[kProductIdSize];
    table.Set("DEPTID", HtmlEscape(TakeParam(did, sizeof did, "DID")));
    table.Set("PRODID", HtmlEscape(TakeParam(pid, sizeof pid, "PID")));
    table.Set("STOREID", HtmlEscape(TakeParam(sid, sizeof sid, "SID")));

    FreeCurrentOrder();

    CParse parse("SWORDKL.HTM", nullptr, "kvzsvw\\", WebOut);
    parse.SetTables(&table, nullptr);
    parse.Parse();
}
