// The reading of an index path into the indexes of a lookup.
#include "SRV_IndexPath.h"

#include <cstddef>

bool SRV_ReadIndexPath(const int32_t* path, uint32_t length, const SRVPathSlot_t* slots, uint32_t slotCount) {
    for (uint32_t i = 0; path != NULL && i + 1 < length; i += 2) {
        uint32_t k = 0;
        while (k < slotCount && slots[k].type != path[i + 1])
            k++;
        if (k == slotCount)
            return false;
        *slots[k].index = path[i];
    }
    return true;
}
