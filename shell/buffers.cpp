// The working record buffers.
#include "shell/buffers.h"

#include "shell/host.h"

char *ProductBuffer, *StoreBuffer, *DeptBuffer, *FormatBuffer, *CustomerBuffer, *ExtStoreBuffer,
    *OrderBuffer;

void AllocateBuffers() {
    ProductBuffer = static_cast<char *>(_alcmem(kProductBufferSize));
    StoreBuffer = static_cast<char *>(_alcmem(kStoreBufferSize));
    DeptBuffer = static_cast<char *>(_alcmem(kDeptBufferSize));
    FormatBuffer = static_cast<char *>(_alcmem(kFormatBufferSize));
    CustomerBuffer = static_cast<char *>(_alcmem(kCustomerBufferSize));
    ExtStoreBuffer = static_cast<char *>(_alcmem(kExtStoreBufferSize));
    OrderBuffer = static_cast<char *>(_alcmem(kOrderBufferSize));
}
