// Shipping methods of a store and the shipping choice page "SWPURCH.HTM", which ends a
// checkout submission of the customer details and lets the shopper pick a method.
#include "checkout/shipping.h"

#include <cstdlib>
#include <cstring>

#include "catalogue/rules.h"
#include "checkout/checkout.h"
#include "orders/slots.h"
#include "shell/paths.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr char kShippingFile[] = "KVZSVSHP.CFG";

// Drops a line end (CR LF or LF) in place.
char *DropLineEnd(char *line) {
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = '\0';
    return line;
}

// One repeated block of the page for a shipping line.
void EmitMethod(CParse *parse, STable *table, const char *line) {
    table->Set("METHOD", HtmlEscape(_itemidxd(line, 0, "~")));
    table->Set("W1", HtmlEscape(_itemidxd(line, 1, "~")));
    table->Set("WADDL", HtmlEscape(_itemidxd(line, 2, "~")));
    table->Set("HNDL", HtmlEscape(_itemidxd(line, 3, "~")));
    table->Set("SHIP", HtmlEscape(line));
    parse->Repeat();
}

void EmitDefaultMethod(CParse *parse, STable *table) {
    char line[kShippingLineSize];
    DefaultShippingLine(line);
    table->Set("METHOD", HtmlEscape(_getMsgBlk(49)));
    table->Set("W1", "0.00");
    table->Set("WADDL", "0.00");
    table->Set("HNDL", "NO");
    table->Set("SHIP", HtmlEscape(line));
    parse->Repeat();
}

}  // namespace

ShippingMethod ParseShippingLine(const char *line) {
    ShippingMethod method{};
    _stzcpy(method.name, _itemidxd(line, 0, "~"), sizeof method.name);
    method.first = static_cast<float>(std::atof(_itemidxd(line, 1, "~")));
    method.more = static_cast<float>(std::atof(_itemidxd(line, 2, "~")));
    // A line kept as read may still end in its line end; "YES" counts all the same.
    method.handling = _sameas(DropLineEnd(_itemidxd(line, 3, "~")), "YES");
    return method;
}

char *DefaultShippingLine(char *line) {
    char text[kShippingLineSize + 16];
    std::snprintf(text, sizeof text, "%s~0.00~0.00~NO", _getMsgBlk(49));
    return _stzcpy(line, text, kShippingLineSize);
}

bool StoreConfigPath(char *path, int size, const char *store_id, const char *name) {
    char store[kStoreIdSize];
    _stzcpy(store, store_id, sizeof store);
    store[8] = '\0';
    if (!IsSafePathPart(store)) return false;
    int n = std::snprintf(path, static_cast<size_t>(size), "%s%.8s\\%s", "KVZSV\\", store, name);
    return n > 0 && n < size;
}

FILE *OpenStoreConfig(const char *store_id, const char *name, char *path) {
    path[0] = '\0';
    if (!StoreConfigPath(path, kConfigPathSize, store_id, name)) return nullptr;
    // The original opened these in text mode; on this system text and binary are the same.
    return OpenModuleFile(path, "r");
}

bool NextConfigLine(FILE *file, char *line) {
    while (std::fgets(line, kConfigLineSize, file) != nullptr) {
        if (DropLineEnd(line)[0] != '\0') return true;
    }
    line[0] = '\0';
    return false;
}

bool OnlyDefaultShipping(const OrderSlot *order) {
    for (int i = 0; i < order->count && i < kOrderSlotItems; ++i)
        if (!(order->items[i].flags & kProductNoShipping)) return false;
    return true;
}

// The posted line carries the charges, so it is taken only when it is one the page offered:
// a shopper cannot name a price of their own.
bool ShippingLineOffered(const OrderSlot *order, const char *line, char *chosen) {
    char wanted[kShippingLineSize];
    DropLineEnd(_stzcpy(wanted, line, sizeof wanted));
    if (wanted[0] == '\0') return false;

    char offered[kShippingLineSize], path[kConfigPathSize];
    bool found = false;
    FILE *file = OnlyDefaultShipping(order) ? nullptr : OpenStoreConfig(order->store_id, kShippingFile, path);
    if (file == nullptr) {
        found = std::strcmp(wanted, DefaultShippingLine(offered)) == 0;
    } else {
        char read[kConfigLineSize];
        while (!found && NextConfigLine(file, read)) found = std::strcmp(wanted, read) == 0;
        std::fclose(file);
        _stzcpy(offered, wanted, sizeof offered);
    }
    if (found && chosen != nullptr) _stzcpy(chosen, offered, kShippingLineSize);
    return found;
}

void ShippingChoicePage(STable *table) {
    OrderSlot *order = CurrentOrder();
    char store_id[kStoreIdSize];
    _stzcpy(store_id, order->store_id, sizeof store_id);

    table->Set("STOREID", HtmlEscape(store_id));
    // Without a store record the page still offers the methods; without its extended record
    // the store cannot sell.
    if (const StoreRecord *store = ReadStore(store_id)) {
        SetStoreEntries(table, store, store_id);
        const ExtendedStoreRecord *ext = ReadExtStore(store_id);
        if (ext == nullptr) {
            Error(kNoExtendedStore);
            return;
        }
        table->Set("WEIGHTFMT", ext->weight_format);
    }

    CParse parse("SWPURCH.HTM", table, "kvzsvw\\", WebOut, store_id);
    parse.Parse();
    char path[kConfigPathSize];
    FILE *file = OnlyDefaultShipping(order) ? nullptr : OpenStoreConfig(store_id, kShippingFile, path);
    if (file != nullptr) {
        char line[kConfigLineSize];
        while (NextConfigLine(file, line)) EmitMethod(&parse, table, line);
        std::fclose(file);
    } else {
        if (!OnlyDefaultShipping(order)) TraceLine("Unable to open %s", path);
        EmitDefaultMethod(&parse, table);
    }
    parse.Parse();
}
