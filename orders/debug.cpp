// The diagnostics page ("debug"): what the mall sees of the requesting browser, its address,
// its order and the items in it, and whether a user id or mail address is known to the host.
// It changes nothing, though asking for it keeps the requester's order alive like any request.
#include <arpa/inet.h>

#include "orders/pages.h"
#include "orders/slots.h"
#include "shell/options.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/spool.h"

MODULE_EXPORT void Debug(void) {
    STable table;
    const OrderSlot *order = CurrentOrder();
    table.Set("roothtm", OptionText(OptRootHtm));
    table.Set("IP", inet_ntoa(_tcpipinf[_usrnum].peer));
    table.Set("ORD", order != nullptr ? "Yes" : "No");

    const char *uid = GetParam("UID");
    if (uid[0] != '\0') table.Set("VUID", _adrxst(uid) ? "Yes" : "No");
    else table.Set("VUID", "Empty UID");
    table.Set("UID", HtmlEscape(uid));

    CParse parse("debug.htm", &table, "kvzsvw\\", WebOut);
    // Without an order the page ends in front of the item block.
    if (order == nullptr) {
        table.Set("storeid", "");
        table.Set("items", "");
        parse.Parse();
        return;
    }
    table.Set("storeid", order->store_id);
    table.SetLong("items", order->count);
    parse.Parse();
    for (int i = 0; i < order->count; ++i) {
        const OrderItem *item = &order->items[i];
        table.Set("DID", HtmlEscape(item->dept_id));
        table.Set("PID", HtmlEscape(item->product_id));
        table.SetLong("QUANT", item->quantity);
        table.SetLong("QUANTBO", item->back_ordered);
        table.SetLong("FMT1", item->choice1);
        table.SetLong("FMT2", item->choice2);
        table.SetLong("DLOAD", item->download);
        table.SetLong("FLAGS", item->flags);
        table.SetFloat("PRICE", item->unit_price);
        parse.Repeat();
    }
    parse.Parse();
}
