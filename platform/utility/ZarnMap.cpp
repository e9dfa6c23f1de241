// Maps from text keys to copied values: a hash table with separate chaining
// that doubles its slots when the chains grow long.
#include "ZarnUtility.h"

#include <string.h>

struct c_map_node_t {
    struct c_map_node_t* next;
    uint32_t hash;
    char* key;
    void* value;
};

namespace {

const uint32_t MAX_LOAD = 2; // entries per slot before the table grows

uint32_t hashOf(const char* key) {
    uint32_t hash = 2166136261u; // FNV-1a
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(key); *c != '\0'; c++) {
        hash ^= *c;
        hash *= 16777619u;
    }
    return hash;
}

c_map_node_t** findSlot(c_map_t* map, const char* key, uint32_t hash) {
    c_map_node_t** link = &map->buckets[hash % map->slots];
    while (*link != NULL && ((*link)->hash != hash || strcmp((*link)->key, key) != 0))
        link = &(*link)->next;
    return link;
}

// Best effort: a map that can't grow keeps working with longer chains.
void grow(c_map_t* map) {
    if (map->slots > UINT32_MAX / 2)
        return;
    uint32_t slots = map->slots * 2;
    c_map_node_t** buckets = static_cast<c_map_node_t**>(c_calloc(slots, sizeof *buckets));
    if (buckets == NULL)
        return;
    for (uint32_t i = 0; i < map->slots; i++) {
        c_map_node_t* node = map->buckets[i];
        while (node != NULL) {
            c_map_node_t* next = node->next;
            node->next = buckets[node->hash % slots];
            buckets[node->hash % slots] = node;
            node = next;
        }
    }
    c_free(map->buckets);
    map->buckets = buckets;
    map->slots = slots;
}

void freeNode(c_map_node_t* node) {
    c_free(node->key);
    c_free(node->value);
    c_free(node);
}

} // namespace

extern "C" int _map_init(c_map_t* map, uint32_t slots) {
    if (map == NULL || slots == 0)
        return -1;
    map->buckets = static_cast<c_map_node_t**>(c_calloc(slots, sizeof *map->buckets));
    if (map->buckets == NULL)
        return -2;
    map->slots = slots;
    map->count = 0;
    return 0;
}

extern "C" int _map_set(c_map_t* map, const char* key, const void* value, size_t size) {
    if (map == NULL || map->buckets == NULL || key == NULL || (value == NULL && size != 0))
        return -1;
    void* copy = c_malloc(size);
    if (copy == NULL)
        return -2;
    if (size != 0)
        memcpy(copy, value, size);

    uint32_t hash = hashOf(key);
    c_map_node_t** link = findSlot(map, key, hash);
    if (*link != NULL) {
        c_free((*link)->value);
        (*link)->value = copy;
        return 0;
    }
    c_map_node_t* node = static_cast<c_map_node_t*>(c_malloc(sizeof *node));
    char* keyCopy = c_strdup(key);
    if (node == NULL || keyCopy == NULL) {
        c_free(node);
        c_free(keyCopy);
        c_free(copy);
        return -2;
    }
    *node = {NULL, hash, keyCopy, copy};
    *link = node;
    map->count++;
    if (map->count > map->slots * MAX_LOAD)
        grow(map);
    return 0;
}

extern "C" void* _map_get(c_map_t* map, const char* key) {
    if (map == NULL || map->buckets == NULL || key == NULL)
        return NULL;
    c_map_node_t* node = *findSlot(map, key, hashOf(key));
    return node != NULL ? node->value : NULL;
}

extern "C" void _map_deinit(c_map_t* map) {
    if (map == NULL)
        return;
    if (map->buckets != NULL) {
        for (uint32_t i = 0; i < map->slots; i++) {
            c_map_node_t* node = map->buckets[i];
            while (node != NULL) {
                c_map_node_t* next = node->next;
                freeNode(node);
                node = next;
            }
        }
        c_free(map->buckets);
    }
    map->buckets = NULL;
    map->slots = 0;
    map->count = 0;
}
