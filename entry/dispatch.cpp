// The request hook and the command tables: every page of the mall is reached from here, and
// nothing below this file calls a page by name.

#include "browse/pages.h"
#include "checkout/checkout.h"
#include "entry/entry.h"
#include "orders/pages.h"
#include "orders/slots.h"
#include "shell/companion_entries.h"
#include "shell/filecache.h"
#include "shell/numbers.h"
#include "shell/options.h"
#include "web/hooks.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr int kCommandSize = 20;  // at most 19 characters of "CMD"

// A page handler of the command tables.
using PageHandler = void (*)();
struct Command {
    const char *name;
    PageHandler handler;
};

// GET commands, compared in this order.
const Command kGetCommands[] = {
    {"storelist", StoreListPage},
    {"storeinfo", StoreInfoPage},
    {"deptlist", DeptListPage},
    {"prodlist", ProdListPage},
    {"prodinfo", ProdInfoPage},
    {"order", OrderPage},
    {"shopcart", ShopCartPage},
    {"killorder", KillOrderPage},
    {"creg", GetCustomerInfo},
    {"keyword", KeywordFormPage},
    {"ksearch", KeySearchResults},
    {"debug", Debug},
    {"logon", LogonPage},
    {"review", Review},
};

// POST commands, compared in this order.
const Command kPostCommands[] = {
    {"submitreg", SubmitCustomerInfo},
    {"purchopt", ShowPurchaseOptions},
    {"startpurch", StartPurchase},
    {"complete", CompletePurchase},
    {"submit", SubmitPurchase},
    {"review", Review},
};

void Dispatch(const Command *commands, size_t count, const char *unknown) {
    char command[kCommandSize];
    _stzcpy(command, GetParam("CMD"), sizeof command);
    char peer[16];
    TraceLine("CMD=%s Peer %s", command, DottedQuad(_tcpipinf[_usrnum].peer, peer));
    bool handled = false;
    for (size_t i = 0; i < count; ++i) {
        if (commands[i].name != nullptr && _sameas(command, commands[i].name)) {
            commands[i].handler();
            handled = true;
            break;
        }
    }
    if (!handled) Error(unknown);
    if (!ResponseGiven) BeginTransfer();
}

void DispatchGet() {
    Dispatch(kGetCommands, sizeof kGetCommands / sizeof kGetCommands[0], "Unrecognized command");
}

void DispatchPost() {
    Dispatch(kPostCommands, sizeof kPostCommands / sizeof kPostCommands[0],
             "Unrecognized command from a (POST)");
}

}  // namespace

MODULE_EXPORT void kvzsvwreq(char *url) {
    RefreshFileCache();
    _setmbk(MessageBlock);
    if (!_sameto("/webmall", url)) {
        PassRequestOn(url);
        ClearChannelAuthorization();
        return;
    }
    if (MallDisabled) {
        Error("Shopvera version error, Web Shopvera is disabled.");
        BeginTransfer();
        ClearChannelAuthorization();
        return;
    }
    ResponseGiven = 0;
    VerifyUser();
    for (char *p = url + 8; *p != '\0'; ++p)
        if (*p == '+') *p = ' ';
    if (!CanAccess(OptMallKey, 1)) {
        if (!ResponseGiven) BeginTransfer();
        ClearChannelAuthorization();
        return;
    }
    FindCurrentOrder();
    if (_sameas(_vdaptr->method, "GET")) DispatchGet();
    else if (_sameas(_vdaptr->method, "POST")) DispatchPost();
    else _byeweb(54, url, url);
    _rstmbk();
    ClearChannelAuthorization();
}
