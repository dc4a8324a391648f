// The mall module's own state, set up at start-up and kept until shutdown: registration,
// options, companion entries, working record buffers. Every part of the module reads these;
// the host calls the module one call at a time, so none of it needs a lock.
#pragma once

#include <cstdint>

#include "shell/companions.h"
#include "shell/host.h"

// What the module exports to the host and to the libraries beside it.
#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

// The summary text of every audit entry, and the module version in two trace lines.
extern const char ModuleVersion[];

extern int16_t ModuleNumber;
extern HostMessageBlock *MessageBlock;

// Options, read once at start-up in this order.
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

extern int16_t MallDisabled;  // the mall library's data version is not the module's
extern MallVars Mall;

// Companion entries; each points at a routine that does nothing until LoadSV finds the real one.
extern GetVarsFn pGetVars;
extern Strip2AddrFn pStrip2Addr;
extern Strip2ZipFn pStrip2Zip;
extern SubmitOrderFn pSubmitOrder;
extern PosAvlFn pPosAvl;
extern CardNumCheckFn pCardNumCheck;
extern BadCardCheckFn pBadCardCheck;
extern CardTypeCheckFn pCardTypeCheck;
extern CheckExpirationFn pCheckExpiration;

// The request handler and header-line parser the hooks replaced; foreign requests and every
// header line are passed on to them.
extern void (*PrevRequestHandler)(char *url);
extern int (*PrevHeaderParser)(char *line);

// Working record buffers, allocated once at start-up and never freed.
constexpr int kProductBufferSize = 2040;
// A store record is 498 bytes, but the store file also holds 500-byte department and extended
// records, and a walk along its keys can read one of those into this buffer: it has room for
// the longest record of the file.
constexpr int kStoreBufferSize = 500;
constexpr int kDeptBufferSize = 500;
constexpr int kFormatBufferSize = 122;
constexpr int kCustomerBufferSize = 500;
constexpr int kExtStoreBufferSize = 500;
constexpr int kOrderBufferSize = 15796;
extern char *ProductBuffer;
extern char *StoreBuffer;
extern char *DeptBuffer;
extern char *FormatBuffer;
extern char *CustomerBuffer;
extern char *ExtStoreBuffer;
extern char *OrderBuffer;

MODULE_EXPORT void _init__kvzsvw(void);
MODULE_EXPORT void LoadSV(void);
void ShutdownSV(void);

// One diagnostic line (a line end is added) to the debugger output; at most 511 characters.
void TraceLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
