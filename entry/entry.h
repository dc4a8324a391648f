// The module's entry points: start-up, the deferred loader, shutdown and the request hook.
#pragma once

#include "shell/module.h"

MODULE_EXPORT void _init__kvzsvw(void);
MODULE_EXPORT void LoadSV(void);
void ShutdownSV(void);

// The request hook: identifies the shopper, applies the mall-wide access rule, finds the
// current order and calls one page handler by command.
MODULE_EXPORT void kvzsvwreq(char *url);
