// The entries of the two companion libraries, looked up by name once the libraries are loaded,
// and the mall library's variables. Until then each entry points at a routine that does nothing
// and reports 0, so a page never calls through a null entry.
#pragma once

#include <cstdint>

#include "shell/companions.h"

extern int16_t MallDisabled;  // the mall library's data version is not the module's
extern MallVars Mall;

extern GetVarsFn pGetVars;
extern Strip2AddrFn pStrip2Addr;
extern Strip2ZipFn pStrip2Zip;
extern SubmitOrderFn pSubmitOrder;
extern PosAvlFn pPosAvl;
extern CardNumCheckFn pCardNumCheck;
extern BadCardCheckFn pBadCardCheck;
extern CardTypeCheckFn pCardTypeCheck;
extern CheckExpirationFn pCheckExpiration;

// Loads the card library and the mall library, finds their entries and fills Mall. False, after
// the console line that says why, when a library or its entries are missing or the mall
// library's data version is not the module's (MallDisabled is then set).
bool LoadCompanions();
// Frees whatever LoadCompanions loaded.
void FreeCompanions();
