// Start-up, deferred loading of the companion libraries, and shutdown.
#include <sys/stat.h>

#include "entry/entry.h"
#include "orders/slots.h"
#include "shell/buffers.h"
#include "shell/companion_entries.h"
#include "shell/filecache.h"
#include "shell/options.h"
#include "web/hooks.h"
#include "web/params.h"
#include "web/spool.h"

namespace {

HostModule Registration;

// Routine entry 2 of the registration record: input for the module outside the web is ignored.
int NoInput() { return 0; }

void StatusEntry() { svwStatus(); }

}  // namespace

MODULE_EXPORT void _init__kvzsvw(void) {
    _stzcpy(Registration.description, _gmdnam("kvzsvw.mdf"), sizeof Registration.description);
    Registration.input = NoInput;
    Registration.status = StatusEntry;
    Registration.shutdown = ShutdownSV;
    ModuleNumber = _register_module(&Registration);

    MessageBlock = _opnmsg("kvzsvw.mcv");
    _setmbk(MessageBlock);
    ReadOptions();

    _init__webd();
    // Templates, pictures and shipping files are looked up in memory from now on.
    EnableFileCache();
    mkdir("KVZSVTMP", 0755);  // an existing directory is fine
    TraceLine("Shopvera Web Initialized");
    _rtkick(2, LoadSV);
    _rtkick(2, CheckUsers);

    // Option 18: the number of order slots; absent or empty, the classic 50.
    OptOrderSlots = _stgopt(18);
    const char *slots = OptOrderSlots;
    while (*slots == ' ' || *slots == '\t') ++slots;
    ClearOrderSlots(*slots != '\0' ? _numopt(18, kOrderSlotsClassic, kOrderSlotsMost) : kOrderSlotsClassic);

    AllocateBuffers();
    ClearAuthorizations();
}

MODULE_EXPORT void LoadSV(void) {
    if (!LoadCompanions()) return;
    InstallWebHooks(kvzsvwreq);
    _shocst(ModuleVersion, "Web Shopvera Loaded");
    TraceLine("%s Web Shopvera Loaded", ModuleVersion);
}

void ShutdownSV(void) {
    FreeOrderSlots();
    _clsmsg(MessageBlock);
    MessageBlock = nullptr;
    FreeCompanions();
    TraceLine("%s Shutdown", ModuleVersion);
}
