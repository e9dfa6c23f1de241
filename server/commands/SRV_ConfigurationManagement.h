/*
 * SRV_ConfigurationManagement: the server's configuration database.
 *
 * Named snapshots ("saves") of the values of every server parameter of the
 * board in the SQLite file "boardconfig.info" of the board's data folder
 * (tables Saves and Parameters); commands 31 to 34 save, load, list and
 * delete them and command 55 reads or replaces the file's path. Every
 * operation opens the file, works and closes it again. (The board
 * information and date-time commands are in SRV_BoardInfo.)
 */
#ifndef SRV_CONFIGURATION_MANAGEMENT_H
#define SRV_CONFIGURATION_MANAGEMENT_H

#include <stdint.h>

#include <sqlite3.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------- configuration database */

/* A save name: 47 characters and the terminator. */
#define SRV_CONFIG_NAME_SIZE 48
/* Command 33 lists at most this many names a page. */
#define SRV_CONFIG_LIST_MAX 200
/* The save that the start-up rewrites with the values of the freshly opened
 * board; a delete without a name keeps it. */
#define SRV_DEFAULT_CONFIGURATION "__default"

/* Writes one save of every server parameter of the board under name (NULL:
 * the engine's current UTC date and time). The save is written completely or
 * not at all. 0; -36 file not opened; -43 SQL failure (a name that exists
 * already); -41 out of memory; -10 a parameter could not be read. */
SRVStatus_t SRV_SaveConfiguration(SRVBoard_t* board, const char* dbPath, const char* name);
/* Inserts every server parameter of one collection (NULL or empty: nothing)
 * as rows of the save, addressed by parentType and ids: 0, -10 or -43. */
SRVStatus_t SRV_InsertCollectionParameters(c_Digitizer_t* digitizer, const c_ParamCollection_t* collection,
                                           sqlite3* database, uint32_t saveId, uint32_t parentType,
                                           const uint32_t ids[4]);
/* Opens the file read-only and applies the save of that name (NULL: the
 * newest save but "__default"); HV channel and HV range rows only with
 * includeHV. 0, -36, -43, -41 or -10 (a set failed; the rows before it stay
 * applied). */
SRVStatus_t SRV_LoadConfiguration(SRVBoard_t* board, const char* dbPath, const char* name, bool includeHV);
/* Sets every parameter stored in a save, in the order the save wrote them;
 * rows whose code name or object the board lacks are skipped. */
SRVStatus_t SRV_ApplySavedConfiguration(SRVBoard_t* board, sqlite3* database, const char* name, bool includeHV);
/* One page of save names, newest first, from offset: *count names into the
 * zero-filled slots of names. 0, -36, -43. */
SRVStatus_t SRV_GetSavedConfigurations(SRVBoard_t* board, const char* dbPath, uint32_t* count,
                                       char names[SRV_CONFIG_LIST_MAX][SRV_CONFIG_NAME_SIZE], uint32_t offset);
/* Deletes the save of that name (NULL: every save but "__default") with its
 * parameter rows, then compacts the file. A name that does not exist is no
 * failure. 0, -36, -43. */
SRVStatus_t SRV_DeleteConfiguration(SRVBoard_t* board, const char* dbPath, const char* name);

/* Steps shared by the operations above, each on an open database. */
SRVStatus_t SRV_CreateTables(sqlite3* database);
SRVStatus_t SRV_CreateSave(sqlite3* database, const char* name, uint32_t* saveId);
SRVStatus_t SRV_DeleteSave(sqlite3* database, const char* name);
SRVStatus_t SRV_FreeSpace(sqlite3* database);
/* The object address of a save's rows, reset before each object kind. */
void SRV_ClearParentIds(uint32_t ids[4]);

#ifdef __cplusplus
}
#endif

#endif /* SRV_CONFIGURATION_MANAGEMENT_H */
