// List mode's per-channel event buffers: their size, their freeing, and the
// events taken out of them.
#include "SRV_ListBuffers.h"

#include <cstring>

namespace {

// Reallocates one array to count elements; on failure the old array is freed
// and the result is NULL.
template <typename T>
T* resizeArray(T* array, uint32_t count) {
    T* resized = static_cast<T*>(c_realloc(array, static_cast<size_t>(count) * sizeof(T)));
    if (resized == NULL)
        c_free(array);
    return resized;
}

void freeArrays(SRVListSave_t* list) {
    c_free(list->timeTags);
    c_free(list->energies);
    c_free(list->flags);
    list->timeTags = NULL;
    list->energies = NULL;
    list->flags = NULL;
}

} // namespace

bool SRV_ListArraysPresent(const SRVListSave_t* list) {
    return list->timeTags != NULL && list->energies != NULL && list->flags != NULL;
}

void SRV_ResizeListBuffers(SRVListSave_t* list) {
    if (list == NULL)
        return;
    // A start refuses a buffer above the limit, so such a size is never
    // allocated: a client can't make the server reserve gigabytes.
    if (list->bufferSize > SRV_LIST_MAX_EVENTS) {
        freeArrays(list);
    } else {
        list->timeTags = resizeArray(list->timeTags, list->bufferSize);
        list->energies = resizeArray(list->energies, list->bufferSize);
        list->flags = resizeArray(list->flags, list->bufferSize);
    }
    // Events beyond the new size are dropped; without all three arrays no
    // event can be kept at all.
    if (list->count > list->bufferSize)
        list->count = list->bufferSize;
    if (!SRV_ListArraysPresent(list))
        list->count = 0;
}

void SRV_FreeListBuffers(SRVListSave_t* list) {
    freeArrays(list);
    list->bufferSize = 0;
    list->count = 0;
}

void SRV_DropListEvents(SRVListSave_t* list) {
    if (list != NULL)
        list->count = 0;
}

void SRV_DropSavedListEvents(SRVListSave_t* list, uint32_t saved) {
    if (saved > list->count)
        saved = list->count;
    uint32_t left = list->count - saved;
    if (saved != 0 && left != 0) {
        std::memmove(list->timeTags, list->timeTags + saved, left * sizeof list->timeTags[0]);
        std::memmove(list->energies, list->energies + saved, left * sizeof list->energies[0]);
        std::memmove(list->flags, list->flags + saved, left * sizeof list->flags[0]);
    }
    list->count = left;
}
