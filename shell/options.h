// The module's options, read once at start-up from the message block and kept until shutdown.
#pragma once

#include "shell/host.h"

extern char *OptRootHtm;      // 8: "roothtm" on every page
extern char *OptMallName;     // 11: "MALLNAME"
extern char *OptEmailSuffix;  // 10: appended to an alias by MakeEmail
extern char *OptImagePrefix;  // 9: file-system prefix of the KVZSV image directory
extern char *OptInfoText;     // 15: "INFO" of a product with an information page kind above 0
extern char *OptNoInfoText;   // 16: "INFO" otherwise
extern char *OptEmailPrefix;  // 17: put in front of an anonymous buyer's e-mail address
extern char *OptMallKey;      // 3: key needed to use the mall at all; "" for none
extern char *OptOrderSlots;   // 18: the number of order slots as written; "" for the classic 50
extern int OptProdPageSize;   // 14: rows of the product list and keyword results, 2 to 15
extern int OptDeptPageSize;   // 13: rows of the department list, 2 to 25
extern int OptStorePageSize;  // 12: rows of the store list, 2 to 25
extern HostBool OptOpenAccess; // 2: every access check passes
extern int OptIdleTimeout;    // 7: idle time-out of a transfer in sixteenths of a second; 0 none

// Options 8, 11, 10, 9, 15, 16, 17, 3, 14, 13, 12, 2 and 7, in that order, from the selected
// message block. Option 18 is read later in start-up, when the order slots are made.
void ReadOptions();

// A text option as a page shows it: "" for one the message block did not give.
inline const char *OptionText(const char *option) { return option != nullptr ? option : ""; }
