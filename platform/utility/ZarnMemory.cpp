// Memory blocks that know their requested size: each block carries a 16-byte
// header in front of the caller's bytes, so c_malloc_size can answer and the
// caller's bytes keep the 16-byte alignment of malloc.
#include "ZarnUtility.h"

#include <stdlib.h>
#include <string.h>

static const c_LogModule_t ZARN_LOG = {"ZarnUtilityLog.txt", "ZarnMemory"};

namespace {

struct alignas(16) BlockHeader {
    size_t size;
};
static_assert(sizeof(BlockHeader) == 16, "the header keeps the caller's bytes 16-byte aligned");

BlockHeader* headerOf(const void* block) {
    return reinterpret_cast<BlockHeader*>(const_cast<char*>(static_cast<const char*>(block)) - sizeof(BlockHeader));
}

void* bytesOf(BlockHeader* header) { return reinterpret_cast<char*>(header) + sizeof(BlockHeader); }

bool tooLarge(size_t size) { return size > SIZE_MAX - sizeof(BlockHeader); }

// What malloc is asked for: the header and the caller's bytes, at least one.
// The caller's pointer then always points into the allocation, never past
// its end, so that leak checking sees a 0-byte block as held while it is.
size_t allocationSize(size_t size) { return sizeof(BlockHeader) + (size == 0 ? 1 : size); }

} // namespace

extern "C" void* c_malloc(size_t size) {
    if (tooLarge(size))
        return NULL;
    BlockHeader* header = static_cast<BlockHeader*>(malloc(allocationSize(size)));
    if (header == NULL) {
        c_lprintf(&ZARN_LOG, C_LOG_ERROR, __LINE__, "Can't allocate %zu bytes.", size);
        return NULL;
    }
    header->size = size;
    return bytesOf(header);
}

extern "C" void* c_calloc(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size)
        return NULL;
    void* block = c_malloc(count * size);
    if (block != NULL)
        memset(block, 0, count * size);
    return block;
}

extern "C" void* c_realloc(void* block, size_t size) {
    if (block == NULL)
        return c_malloc(size);
    if (tooLarge(size))
        return NULL;
    // On failure the old block stays valid, as with realloc.
    BlockHeader* header = static_cast<BlockHeader*>(realloc(headerOf(block), allocationSize(size)));
    if (header == NULL) {
        c_lprintf(&ZARN_LOG, C_LOG_ERROR, __LINE__, "Can't reallocate a block to %zu bytes.", size);
        return NULL;
    }
    header->size = size;
    return bytesOf(header);
}

extern "C" char* c_strdup(const char* text) {
    if (text == NULL)
        return NULL;
    size_t length = strlen(text);
    char* copy = static_cast<char*>(c_malloc(length + 1));
    if (copy != NULL)
        memcpy(copy, text, length + 1);
    return copy;
}

extern "C" void c_free(void* block) {
    if (block != NULL)
        free(headerOf(block));
}

extern "C" size_t c_malloc_size(const void* block) { return block == NULL ? 0 : headerOf(block)->size; }
