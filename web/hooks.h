// The module's place in the host's web daemon: its request handler and header-line parser go in
// front of the ones the daemon had, which still get every request and header line the module
// does not take.
#pragma once

// Installs handler as the daemon's request handler and kvzsvwparse as its header-line parser,
// keeping the previous ones.
void InstallWebHooks(void (*handler)(char *url));

// A request outside the mall, and every header line, go on to the handler and parser the hooks
// replaced; nothing happens (0) where there was none.
void PassRequestOn(char *url);
int PassHeaderLineOn(char *line);
