// Installing the module's hooks, and handing on what they do not take.
#include "web/hooks.h"

#include "shell/host.h"
#include "web/params.h"

namespace {

void (*PrevRequestHandler)(char *url) = nullptr;
int (*PrevHeaderParser)(char *line) = nullptr;

}  // namespace

void InstallWebHooks(void (*handler)(char *url)) {
    PrevRequestHandler = _hdlwebreq;
    _hdlwebreq = handler;
    PrevHeaderParser = _prshdrlin;
    _prshdrlin = kvzsvwparse;
}

void PassRequestOn(char *url) {
    if (PrevRequestHandler != nullptr) PrevRequestHandler(url);
}

int PassHeaderLineOn(char *line) {
    return PrevHeaderParser != nullptr ? PrevHeaderParser(line) : 0;
}
