// SQLite set up with the utility layer's allocator and a log callback.
#include "SRV_SqliteSetup.h"

#include "ZarnUtility.h"

#include <sqlite3.h>

static const c_LogModule_t LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

static void* SRV_SqliteMalloc(int size) { return c_malloc(static_cast<size_t>(static_cast<int64_t>(size))); }

static void SRV_SqliteFree(void* block) { c_free(block); }

static void* SRV_SqliteRealloc(void* block, int size) {
    return c_realloc(block, static_cast<size_t>(static_cast<int64_t>(size)));
}

static int SRV_SqliteSize(void* block) { return static_cast<int>(c_malloc_size(block)); }

static int SRV_SqliteRoundup(int size) { return size; }

static int SRV_SqliteInit(void*) { return 0; }

static void SRV_SqliteShutdown(void*) {}

static void SRV_SqliteLogCallback(void* argument, int code, const char* message) {
    c_lprintf(static_cast<const c_LogModule_t*>(argument), C_LOG_ERROR, 0, "sqlite3 error %i (%s): %s", code,
              sqlite3_errstr(code), message != NULL ? message : "");
}

SRVStatus_t ConfigureSqlite(void) {
    static const sqlite3_mem_methods METHODS = {SRV_SqliteMalloc,  SRV_SqliteFree, SRV_SqliteRealloc,  SRV_SqliteSize,
                                                SRV_SqliteRoundup, SRV_SqliteInit, SRV_SqliteShutdown, NULL};
    if (sqlite3_config(SQLITE_CONFIG_MALLOC, &METHODS) != SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "sqlite3_config(SQLITE_CONFIG_MALLOC) failed.");
        return SRV_ERR_DATABASE;
    }
    if (sqlite3_config(SQLITE_CONFIG_LOG, SRV_SqliteLogCallback, const_cast<c_LogModule_t*>(&LOG_MODULE)) !=
        SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "sqlite3_config(SQLITE_CONFIG_LOG) failed.");
        return SRV_ERR_DATABASE;
    }
    if (sqlite3_initialize() != SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "sqlite3_initialize() failed.");
        return SRV_ERR_DATABASE;
    }
    return SRV_SUCCESS;
}
