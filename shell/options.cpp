// The module's options.
#include "shell/options.h"

char *OptRootHtm, *OptMallName, *OptEmailSuffix, *OptImagePrefix, *OptInfoText, *OptNoInfoText,
    *OptEmailPrefix, *OptMallKey, *OptOrderSlots;
int OptProdPageSize, OptDeptPageSize, OptStorePageSize;
HostBool OptOpenAccess;
int OptIdleTimeout;

void ReadOptions() {
    OptRootHtm = _stgopt(8);
    OptMallName = _stgopt(11);
    OptEmailSuffix = _stgopt(10);
    OptImagePrefix = _stgopt(9);
    OptInfoText = _stgopt(15);
    OptNoInfoText = _stgopt(16);
    OptEmailPrefix = _stgopt(17);
    OptMallKey = _stgopt(3);
    OptProdPageSize = _numopt(14, 2, 15);
    OptDeptPageSize = _numopt(13, 2, 25);
    OptStorePageSize = _numopt(12, 2, 25);
    OptOpenAccess = _ynopt(2);
    OptIdleTimeout = _numopt(7, 0, 2047) * 16;
}
