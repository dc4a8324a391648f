// The request hook: identifies the shopper, applies the mall-wide access rule, finds the
// current order and calls one page handler by command; plus the error page, the logon request
// and the access checks every page handler uses.
#pragma once

#include "shell/module.h"

// Set when the host has been asked to answer the request itself; the spooled page is not sent.
extern int16_t ResponseGiven;

MODULE_EXPORT void kvzsvwreq(char *url);

// 1 when access is granted. With report on, a refusal writes the error page (message 48).
MODULE_EXPORT int16_t CanAccess(const char *key, int16_t report);
// 1 when a user is verified and holds key (or key is empty); never ends the request.
MODULE_EXPORT int16_t SmartKey(const char *key);
// Writes the error page with message; 0.
MODULE_EXPORT int16_t Error(const char *message);
// Asks the host to answer with its request for a user id and password.
void RequestLogon();

// A page handler of the command tables.
using PageHandler = void (*)();
struct Command {
    const char *name;
    PageHandler handler;
};
