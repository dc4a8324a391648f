// The module's working record buffers: one per record kind, allocated once at start-up and never
// freed. Every read of a record of that kind overwrites its buffer, so a page uses or copies what
// it needs before it reads the next record of the same kind.
#pragma once

constexpr int kProductBufferSize = 2040;
// A store record is 498 bytes, but the store file also holds 500-byte department and extended
// records, and a walk along its keys can read one of those into this buffer: it has room for
// the longest record of the file.
constexpr int kStoreBufferSize = 500;
constexpr int kDeptBufferSize = 500;
constexpr int kFormatBufferSize = 122;
constexpr int kCustomerBufferSize = 500;
constexpr int kExtStoreBufferSize = 500;
constexpr int kOrderBufferSize = 15796;
extern char *ProductBuffer;
extern char *StoreBuffer;
extern char *DeptBuffer;
extern char *FormatBuffer;
extern char *CustomerBuffer;
extern char *ExtStoreBuffer;
extern char *OrderBuffer;

// The seven buffers, in the order above, from the host's allocator.
void AllocateBuffers();
