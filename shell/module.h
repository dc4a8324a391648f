// The module's identity towards the host (its version text, its module number, its message
// block) and its diagnostic line: what every part of the module may use. The host calls the
// module one call at a time, so none of the module's state needs a lock.
#pragma once

#include <cstdint>

#include "shell/host.h"

// What the module exports to the host and to the libraries beside it.
#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

// The summary text of every audit entry, and the module version in two trace lines.
extern const char ModuleVersion[];

extern int16_t ModuleNumber;
extern HostMessageBlock *MessageBlock;

// One diagnostic line (a line end is added) to the debugger output; at most 511 characters.
void TraceLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
