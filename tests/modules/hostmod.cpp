// A test module for the host's services: it registers, reads its options and messages,
// schedules timers, writes audit and trace lines, asks about accounts and loads a library by
// its Windows-style name, reporting each result as a trace line that the tests read back.
#include <cstdio>
#include <cstring>

#include "shell/host.h"

namespace {

HostModule g_module = {};
HostMessageBlock *g_block = nullptr;

void report(const char *text) { OutputDebugStringA(text); }

void timer(int n) {
    // The clock in sixteenths of a second, as modules use it.
    report(_spr("timer %d at %lu", n, _hrtval() >> 12));
}
void timer1() { timer(1); }
void timer2() { timer(2); }
void timer3() { timer(3); }

void shutdown() {
    _clsmsg(g_block);
    report("hostmod shutdown");
}

void account_checks() {
    report(_spr("uhskey alice STAFF=%d", _uhskey("alice", "STAFF")));
    report(_spr("uhskey ALICE staff=%d", _uhskey("ALICE", "staff")));
    report(_spr("uhskey alice BOSS=%d", _uhskey("alice", "BOSS")));
    report(_spr("uhskey nobody STAFF=%d", _uhskey("nobody", "STAFF")));
    report(_spr("alias alice=%s", (*_alsofusr)("alice")));
    report(_spr("alias bob=%s", (*_alsofusr)("bob")));
    const char *addresses[] = {"alice", "INTERNET:joe@example.com", "joe@example.com", "joe@", "nobody",
                               "a b@example.com"};
    for (const char *a : addresses) report(_spr("adrxst %s=%d", a, _adrxst(a)));
    // The account file as the mall reads it: user id at 0, password at 30.
    char record[HOST_ACCOUNT_SIZE] = {};
    char key[HOST_USERID_SIZE] = {};
    _stzcpy(key, "Alice", sizeof key);
    _dfaSetBlk(_accbb);
    HostBool found = _dfaAcqLock(record, key, 0, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    report(_spr("account %s found=%d id=%s password=%s", key, found, record, record + 30));
}

void library_checks() {
    void *self = LoadLibraryA("HOSTMOD.DLL");
    report(_spr("LoadLibraryA HOSTMOD.DLL=%s", self ? "loaded" : "failed"));
    report(_spr("GetProcAddress _init__hostmod=%s", GetProcAddress(self, "_init__hostmod") ? "found" : "none"));
    report(_spr("GetProcAddress _nothing=%s", GetProcAddress(self, "_nothing") ? "found" : "none"));
    report(_spr("FreeLibrary=%d", FreeLibrary(self)));
    report(_spr("LoadLibraryA MISSING=%s", LoadLibraryA("MISSING") ? "loaded" : "failed"));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void _init__hostmod(void) {
    _stzcpy(g_module.description, _gmdnam("hostmod.mdf"), sizeof g_module.description);
    g_module.shutdown = shutdown;
    int16_t number = _register_module(&g_module);
    report(_spr("registered %d as '%s'", number, g_module.description));

    g_block = _opnmsg("hostmod.mcv");
    _setmbk(g_block);
    char *text = _stgopt(1);
    report(_spr("option 1=[%s]", text));
    _hfree(text);
    report(_spr("option 2=%d", _numopt(2, 0, 10)));
    report(_spr("option 3=%d", _numopt(3, 5, 10)));
    report(_spr("option 4=%d", _ynopt(4)));
    report(_spr("option 5=%d", _ynopt(5)));
    report(_spr("message 6=[%s]", _getMsgBlk(6)));
    report(_spr("message 7=[%s]", _getMsgBlk(7)));
    report(_spr("message 99=[%s]", _getMsgBlk(99)));
    text = _stgopt(98);
    report(_spr("option 98=[%s]", text));
    _hfree(text);

    _shocst("HOSTMOD V1", "loaded with %d options", 5);
    account_checks();
    library_checks();

    report(_spr("start at %lu", _hrtval() >> 12));
    _rtkick(3, timer3);
    _rtkick(1, timer1);
    _rtkick(2, timer2);
}
