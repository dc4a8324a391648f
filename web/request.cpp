// The access checks, the error page and the logon page.
#include "web/request.h"

#include "shell/options.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/params.h"
#include "web/spool.h"

int16_t ResponseGiven = 0;

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
