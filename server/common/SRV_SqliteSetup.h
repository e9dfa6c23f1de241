/*
 * SRV_SqliteSetup: SQLite with the utility layer's allocator and a log
 * callback.
 */
#ifndef SRV_SQLITE_SETUP_H
#define SRV_SQLITE_SETUP_H

#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Installs the utility layer's allocator and the log callback into SQLite and
 * initialises it: 0 or -43. */
SRVStatus_t ConfigureSqlite(void);

#ifdef __cplusplus
}
#endif

#endif /* SRV_SQLITE_SETUP_H */
