// The mall's six data files: which database and table each lives in, its record size and its
// keys. The mall library opens them for the module; mallctl opens the same definitions.
#pragma once

#include "shell/companions.h"
#include "shell/host.h"

// In the order of their handles in MallVars.
enum class MallFile { store, product, format, customer, order, keyword };
constexpr int kMallFiles = 6;

struct MallFileDef {
    const char *database;   // under the root's data/ directory
    const char *table;
    int record_size;        // the longest record the file takes
    int key_count;
    HostKeyDef keys[3];
};

// The definition of one file.
const MallFileDef &MallFileDefinition(MallFile which);

// Opens (creating when absent) one file; -1 when it cannot be opened, after the host's line on
// standard error.
HostFile OpenMallFile(MallFile which);

// Opens all six into vars' handles. false when any of them failed; the others are still open
// and their handles filled, a failed one is -1.
bool OpenMallFiles(MallVars *vars);
