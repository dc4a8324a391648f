// The host's allocators: _alcmem for what a module keeps for its life, _hmalloc for the rest.
#include <cstdlib>

#include "host/log.h"
#include "shell/host.h"

extern "C" void *_alcmem(size_t size) {
    void *block = std::calloc(1, size ? size : 1);
    if (block == nullptr) host::fatal("out of memory");
    return block;
}

extern "C" void *_hmalloc(size_t size) { return std::malloc(size ? size : 1); }

extern "C" void _hfree(void *block) { std::free(block); }
