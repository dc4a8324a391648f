// What every page handler does with the request besides reading its parameters: the access
// checks, the error page and the logon request, and the flag that says the host answers the
// request itself.
#pragma once

#include <cstdint>

#include "shell/module.h"

// Set when the host has been asked to answer the request itself; the spooled page is not sent.
extern int16_t ResponseGiven;

// 1 when access is granted. With report on, a refusal writes the error page (message 48).
MODULE_EXPORT int16_t CanAccess(const char *key, int16_t report);
// 1 when a user is verified and holds key (or key is empty); never ends the request.
MODULE_EXPORT int16_t SmartKey(const char *key);
// Writes the error page with message; 0.
MODULE_EXPORT int16_t Error(const char *message);
// Asks the host to answer with its request for a user id and password.
void RequestLogon();
// "logon": the logon page for a verified user; otherwise the request for a user id and password.
void LogonPage();
