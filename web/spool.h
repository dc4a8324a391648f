// Pages are written to a spool file of the channel while they are built, then sent piece by
// piece from status calls, as much as the channel's output buffer takes each time.
#pragma once

#include "shell/module.h"

// The output callback of every template run: appends text to the channel's spool file.
MODULE_EXPORT void WebOut(const char *text);
// Called once at the end of a request: queues the status line and headers and starts sending.
void BeginTransfer();
// The module's status routine.
MODULE_EXPORT void svwStatus(void);
