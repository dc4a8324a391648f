// The module's identity and the trace line.
#include "shell/module.h"

#include <cstdarg>
#include <cstdio>

const char ModuleVersion[] = "KVZSVW: V1.00.00 HS30 NT";

int16_t ModuleNumber = 0;
HostMessageBlock *MessageBlock = nullptr;

void TraceLine(const char *format, ...) {
    static char line[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line - 1, format, ap);
    va_end(ap);
    // A longer line is cut so that the line end still fits.
    size_t used = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof line - 1 ? static_cast<size_t>(n) : sizeof line - 2);
    line[used] = '\n';
    line[used + 1] = '\0';
    OutputDebugStringA(line);
}
