// Request entry and command dispatch.
#include "web/request.h"

#include <arpa/inet.h>

#include "catalogue/pages.h"
#include "checkout/checkout.h"
#include "orders/pages.h"
#include "orders/slots.h"
#include "shell/filecache.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/params.h"
#include "web/spool.h"

int16_t ResponseGiven = 0;

void ProdInfoPage();  // catalogue/product_page.cpp
MODULE_EXPORT void SubmitPurchase(void);  // checkout/submit.cpp
MODULE_EXPORT void Review(void);          // orders/review.cpp

namespace {

constexpr int kCommandSize = 20;  // at most 19 characters of "CMD"

void LogonPage() {
    if (!UserVerified()) {
        RequestLogon();
        return;
    }
    STable table;
    table.Set("uid", CurrentUserId());
    table.Set("roothtm", OptRootHtm);
    RunScript("logon.htm", &table, "kvzsvw\\", WebOut);
}

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
    TraceLine("CMD=%s Peer %s", command, inet_ntoa(_tcpipinf[_usrnum].peer));
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
        if (PrevRequestHandler != nullptr) PrevRequestHandler(url);
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

MODULE_EXPORT int16_t CanAccess(const char *key, int16_t report) {
    if (OptOpenAccess) return 1;
    if (!UserVerified()) {
        RequestLogon();
        return 0;
    }
    if (key == nullptr || key[0] == '\0' || _uhskey(CurrentUserId(), key)) return 1;
    if (report) Error(_getMsgBlk(48));
    return 0;
}

MODULE_EXPORT int16_t SmartKey(const char *key) {
    if (!UserVerified()) return 0;
    return (key == nullptr || key[0] == '\0' || _uhskey(CurrentUserId(), key)) ? 1 : 0;
}

MODULE_EXPORT int16_t Error(const char *message) {
    STable table;
    table.Set("error", message);
    RunScript("fail.htm", &table, "kvzsvw\\", WebOut);
    return 0;
}

void RequestLogon() {
    ResponseGiven = 1;
    _byeweb(53);
}
