// The server's configuration database "boardconfig.info" and its commands
// 31 to 34 and 55.
#include "SRV_ConfigurationManagement.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_CommandRequest.h"

static const c_LogModule_t LOG_MODULE = {"SRV_ConfigurationManagementLog.txt", "SRV_ConfigurationManagement"};

// ============================================================ Configuration database
//
// Every value that reaches an SQL statement (a save name from a client, a
// page offset, the rows of a save) is bound to a parameter of a prepared
// statement; no statement text is ever built from data.

namespace {

const char CREATE_SAVES_SQL[] =
    "CREATE TABLE IF NOT EXISTS Saves(saveid\t\t\tINTEGER PRIMARY KEY AUTOINCREMENT,savename\t\tTEXT UNIQUE DEFAULT "
    "CURRENT_TIMESTAMP,timestamp\t\tDATETIME DEFAULT CURRENT_TIMESTAMP)";
const char CREATE_PARAMETERS_SQL[] =
    "CREATE TABLE IF NOT EXISTS Parameters(saveid\t\t\tINTEGER,parenttype\t\tINTEGER,parentid1\t\tINTEGER,parentid2\t\t"
    "INTEGER,parentid3\t\tINTEGER,parentid4\t\tINTEGER,paramcodename\tTEXT,value\t\t\tREAL)";
// Saves made within one second share their time stamp: the later id is the
// newer save.
const char LIST_SAVES_SQL[] = "SELECT savename FROM Saves ORDER BY timestamp DESC, saveid DESC LIMIT ? OFFSET ?";
const char NEWEST_SAVE_SQL[] =
    "SELECT savename FROM Saves WHERE savename!='__default' ORDER BY timestamp DESC, saveid DESC LIMIT 1";
const char SAVE_ROWS_SQL[] =
    "SELECT parenttype, parentid1, parentid2, parentid3, parentid4, paramcodename, value FROM Parameters INNER JOIN "
    "Saves ON Saves.saveid = Parameters.saveid WHERE savename=? ORDER BY Parameters.rowid";
const char INSERT_NAMED_SAVE_SQL[] = "INSERT INTO Saves(savename) VALUES (?);";
// A save without a name is named by its UTC time stamp, with " (2)", " (3)" ...
// after it when saves of that second exist already: the name column is
// unique, and a client that saves twice in one second has done nothing wrong.
const char INSERT_UNNAMED_SAVE_SQL[] = "INSERT OR IGNORE INTO Saves(savename) VALUES (CURRENT_TIMESTAMP || ?);";
const int UNNAMED_SAVE_TRIES = 1000;
const char SAVE_ID_SQL[] = "SELECT seq FROM sqlite_sequence WHERE name = 'Saves'";
const char INSERT_PARAMETER_SQL[] = "INSERT INTO Parameters VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
const char DELETE_PARAMETERS_SQL[] =
    "DELETE FROM Parameters WHERE saveid IN (SELECT saveid FROM Saves WHERE savename=?)";
const char DELETE_ALL_PARAMETERS_SQL[] =
    "DELETE FROM Parameters WHERE saveid IN (SELECT saveid FROM Saves WHERE savename!='__default')";
const char DELETE_SAVE_SQL[] = "DELETE FROM Saves WHERE savename=?";
const char DELETE_ALL_SAVES_SQL[] = "DELETE FROM Saves WHERE savename!='__default'";
const char VACUUM_SQL[] = "VACUUM";
const char BEGIN_SQL[] = "BEGIN TRANSACTION";
const char END_SQL[] = "END TRANSACTION";
const char ROLLBACK_SQL[] = "ROLLBACK TRANSACTION";

// Command fields by bit.
const uint64_t FIELD_NAME = 0x1;
const uint64_t FIELD_OFFSET = 0x2;
const uint64_t FIELD_COUNT = 0x4;
const uint64_t FIELD_NAMES = 0x8;
const uint64_t FIELD_INCLUDE_HV = 0x10;
const uint64_t FIELD_PATH = 0x20;

const c_Digitizer_t* digitizerOf(const SRVBoard_t* board) { return board != NULL ? &board->digitizer : NULL; }

const char* orText(const char* text, const char* fallback) { return text != NULL ? text : fallback; }

// Opens the database file with the given mode inside the working folder (its
// folder reached and the file opened following no link; one with other links
// is written as a file of its own): 0, -30, or -36 when it can't be opened
// (the handle and the folder are closed again). An empty path would open a
// private temporary database that vanishes on close, so it is refused too.
// The folder stays open until closeDatabase.
SRVStatus_t openDatabase(const SRVBoard_t* board, const char* path, int flags, sqlite3** database,
                         SRVClientFile_t* folder) {
    *database = NULL;
    folder->folder = -1;
    if (path == NULL || path[0] == '\0') {
        c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_ERROR, __LINE__, "Can't open '%s': %s",
                         orText(path, ""), "no database path");
        return SRV_ERR_FILE_OPEN;
    }
    char name[SRV_CLIENT_DATABASE_NAME_SIZE];
    bool writes = (flags & SQLITE_OPEN_READWRITE) != 0;
    SRVStatus_t status = SRV_OpenClientDatabase(&LOG_MODULE, "Database file", path, false, writes, folder, name);
    if (status == SRV_ERR_INVALID_FILE_NAME)
        return status;
    if (status != SRV_SUCCESS) {
        c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_ERROR, __LINE__, "Can't open '%s': %s", path,
                         std::strerror(errno));
        return SRV_ERR_FILE_OPEN;
    }
    int result = sqlite3_open_v2(name, database, flags | SQLITE_OPEN_NOFOLLOW, NULL);
    if (result != SQLITE_OK) {
        c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_ERROR, __LINE__, "Can't open '%s': %s", path,
                         *database != NULL ? sqlite3_errmsg(*database) : sqlite3_errstr(result));
        sqlite3_close(*database);
        *database = NULL;
        SRV_CloseClientFolder(folder);
        return SRV_ERR_FILE_OPEN;
    }
    return SRV_SUCCESS;
}

// Closes the file, then its folder; a failed close turns the status into -43.
SRVStatus_t closeDatabase(const SRVBoard_t* board, sqlite3* database, SRVClientFile_t* folder, SRVStatus_t status) {
    int closed = sqlite3_close(database);
    SRV_CloseClientFolder(folder);
    if (closed != SQLITE_OK) {
        c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_ERROR, __LINE__, "Error closing file");
        return SRV_ERR_DATABASE;
    }
    return status;
}

// Prepares a whole statement, binding text to its one parameter when given.
// NULL after logging "<failure>: <engine message>".
sqlite3_stmt* prepare(sqlite3* database, const char* sql, const char* text, const char* failure) {
    sqlite3_stmt* statement = NULL;
    bool ready = sqlite3_prepare_v2(database, sql, -1, &statement, NULL) == SQLITE_OK &&
                 (text == NULL || sqlite3_bind_text(statement, 1, text, -1, SQLITE_TRANSIENT) == SQLITE_OK);
    if (!ready) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, failure, sqlite3_errmsg(database));
        sqlite3_finalize(statement);
        return NULL;
    }
    return statement;
}

// Runs a statement that returns no rows: true when it finished with
// SQLITE_DONE, else logs "<failure>: <engine message>".
bool runStatement(sqlite3* database, const char* sql, const char* text, const char* failure) {
    sqlite3_stmt* statement = prepare(database, sql, text, failure);
    if (statement == NULL)
        return false;
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done)
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, failure, sqlite3_errmsg(database));
    sqlite3_finalize(statement);
    return done;
}

// Transaction control. Unlike a plain script, a save and a delete check that
// their transaction began and committed: a save that did not commit is not a
// save, and a delete must never leave a save without its parameters.
bool beginTransaction(sqlite3* database) {
    if (sqlite3_exec(database, BEGIN_SQL, NULL, NULL, NULL) == SQLITE_OK)
        return true;
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error starting transaction: %s", sqlite3_errmsg(database));
    return false;
}

bool commitTransaction(sqlite3* database) {
    if (sqlite3_exec(database, END_SQL, NULL, NULL, NULL) == SQLITE_OK)
        return true;
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error ending transaction: %s", sqlite3_errmsg(database));
    return false;
}

void rollbackTransaction(sqlite3* database) {
    if (sqlite3_get_autocommit(database) == 0)
        sqlite3_exec(database, ROLLBACK_SQL, NULL, NULL, NULL);
}

// The value as a save keeps it: six digits after the decimal point.
double savedValue(double value) {
    char text[400];
    std::snprintf(text, sizeof text, "%f", value);
    return std::strtod(text, NULL);
}

// A column read as a signed 32-bit object index; values outside that range
// become -1, which no object has.
int32_t columnIndex(sqlite3_stmt* statement, int column) {
    sqlite3_int64 value = sqlite3_column_int64(statement, column);
    return value >= INT32_MIN && value <= INT32_MAX ? static_cast<int32_t>(value) : -1;
}

void setIds(uint32_t ids[4], uint32_t id1, uint32_t id2, uint32_t id3) {
    SRV_ClearParentIds(ids);
    ids[0] = id1;
    ids[1] = id2;
    ids[2] = id3;
}

// One collection of the save, logging the object kind's message on failure.
SRVStatus_t insertCollection(SRVBoard_t* board, sqlite3* database, uint32_t saveId,
                             const c_ParamCollection_t* collection, uint32_t parentType, const uint32_t ids[4],
                             const char* failure) {
    SRVStatus_t status =
        SRV_InsertCollectionParameters(&board->digitizer, collection, database, saveId, parentType, ids);
    if (status != SRV_SUCCESS)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "%s", failure);
    return status;
}

// The collections of one channel: the channel, each energy spectrum with its
// ROIs, each MCS spectrum.
SRVStatus_t insertChannel(SRVBoard_t* board, sqlite3* database, uint32_t saveId, uint32_t ch) {
    uint32_t ids[4];
    SRVChannel_t& channel = board->channels[ch];
    setIds(ids, ch, 0, 0);
    SRVStatus_t status = insertCollection(board, database, saveId, channel.collection, SRV_OBJ_CHANNEL, ids,
                                          "Can't save Channel parameters");
    uint32_t spectra =
        channel.energySpectrumCount < SRV_MAX_ENERGY_SPECTRA ? channel.energySpectrumCount : SRV_MAX_ENERGY_SPECTRA;
    for (uint32_t es = 0; es < spectra && status == SRV_SUCCESS; es++) {
        SRVEnergySpectrum_t& spectrum = channel.energySpectra[es];
        setIds(ids, ch, es, 0);
        status = insertCollection(board, database, saveId, spectrum.collection, SRV_OBJ_ENERGY_SPECTRUM, ids,
                                  "Can't save Energy Spectrum parameters");
        uint32_t rois = spectrum.roiCount < SRV_MAX_ROIS ? spectrum.roiCount : SRV_MAX_ROIS;
        for (uint32_t r = 0; r < rois && status == SRV_SUCCESS; r++) {
            setIds(ids, ch, es, r);
            status = insertCollection(board, database, saveId, spectrum.rois[r].collection, SRV_OBJ_ROI, ids,
                                      "Can't save ROI parameters");
        }
    }
    uint32_t mcs = channel.mcsSpectrumCount < SRV_MAX_MCS_SPECTRA ? channel.mcsSpectrumCount : SRV_MAX_MCS_SPECTRA;
    for (uint32_t m = 0; m < mcs && status == SRV_SUCCESS; m++) {
        setIds(ids, ch, m, 0);
        status = insertCollection(board, database, saveId, channel.mcsSpectra[m].collection, SRV_OBJ_MCS_SPECTRUM, ids,
                                  "Can't save MCS Spectrum parameters");
    }
    return status;
}

// The collections of a board-level kind of object, one row set per index.
SRVStatus_t insertEach(SRVBoard_t* board, sqlite3* database, uint32_t saveId, c_ParamCollection_t* const* collections,
                       uint32_t count, uint32_t objectType, const char* failure) {
    uint32_t ids[4];
    SRVStatus_t status = SRV_SUCCESS;
    for (uint32_t i = 0; i < count && status == SRV_SUCCESS; i++) {
        setIds(ids, i, 0, 0);
        status = insertCollection(board, database, saveId, collections[i], objectType, ids, failure);
    }
    return status;
}

// Every collection of the board, in the order the load applies them.
SRVStatus_t insertAllCollections(SRVBoard_t* board, sqlite3* database, uint32_t saveId) {
    uint32_t ids[4];
    SRV_ClearParentIds(ids);
    SRVStatus_t status =
        insertCollection(board, database, saveId, board->collection, SRV_OBJ_BOARD, ids, "Can't save Board parameters");
    for (uint32_t ch = 0; ch < SRV_ChannelCount(board) && status == SRV_SUCCESS; ch++)
        status = insertChannel(board, database, saveId, ch);
    if (status == SRV_SUCCESS)
        status = insertEach(board, database, saveId, board->lvdsGroups, SRV_LVDSGroupCount(board), SRV_OBJ_LVDS_GROUP,
                            "Can't save LVDSGroups parameters");
    if (status == SRV_SUCCESS)
        status = insertEach(board, database, saveId, board->virtualTraces, SRV_VirtualTraceCount(board),
                            SRV_OBJ_VIRTUAL_TRACE, "Can't save Trace parameters");
    if (status == SRV_SUCCESS)
        status = insertEach(board, database, saveId, board->monOuts, SRV_MonOutCount(board), SRV_OBJ_MON_OUT,
                            "Can't save Monitor Output parameters");
    for (uint32_t h = 0; h < SRV_HVChannelCount(board) && status == SRV_SUCCESS; h++) {
        SRVHVBlock_t& hv = board->hv[h];
        setIds(ids, h, 0, 0);
        status = insertCollection(board, database, saveId, hv.collection, SRV_OBJ_HV_CHANNEL, ids,
                                  "Can't save HV Channel parameters");
        uint32_t ranges = hv.rangeCount < SRV_MAX_HV_RANGES ? hv.rangeCount : SRV_MAX_HV_RANGES;
        for (uint32_t r = 0; r < ranges && status == SRV_SUCCESS; r++) {
            setIds(ids, h, r, 0);
            status = insertCollection(board, database, saveId, hv.ranges[r].collection, SRV_OBJ_HV_RANGE, ids,
                                      "Can't save HV Channel parameters");
        }
    }
    return status;
}

// The parameter that a row of a save addresses, or NULL after the lookup's
// message and "Parameter code '%i' not found.".
SRVParameter_t* findSavedParameter(SRVBoard_t* board, int32_t parentType, const int32_t id[3], const char* codename) {
    int32_t code = 0;
    if (codename == NULL || SRV_GetParameterCode(board, codename, &code) != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Parameter codename '%s' not found.",
                         orText(codename, "(null)"));
        return NULL;
    }
    SRVParameter_t* param = NULL;
    switch (parentType) {
    case SRV_OBJ_BOARD: param = SRV_GetBoardParameter(board, code); break;
    case SRV_OBJ_CHANNEL: param = SRV_GetChannelParameter(board, id[0], code); break;
    case SRV_OBJ_HV_CHANNEL: param = SRV_GetHVChannelParameter(board, id[0], code); break;
    case SRV_OBJ_HV_RANGE: param = SRV_GetHVRangeParameter(board, id[0], id[1], code); break;
    case SRV_OBJ_LVDS_GROUP: param = SRV_GetLVDSGroupParameter(board, id[0], code); break;
    case SRV_OBJ_VIRTUAL_TRACE: param = SRV_GetVirtualTraceParameter(board, id[0], code); break;
    case SRV_OBJ_ENERGY_SPECTRUM: param = SRV_GetEnergySpectrumParameter(board, id[0], id[1], code); break;
    case SRV_OBJ_MCS_SPECTRUM: param = SRV_GetMCSSpectrumParameter(board, id[0], id[1], code); break;
    case SRV_OBJ_ROI: param = SRV_GetROIParameter(board, id[0], id[1], id[2], code); break;
    case SRV_OBJ_MON_OUT: param = SRV_GetMonOutParameter(board, id[0], code); break;
    default:
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Parent type '%d' not valid.",
                         parentType);
        break;
    }
    if (param == NULL)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Parameter code '%i' not found.", code);
    return param;
}

// The name of the newest save but "__default" into a new text (freed by the
// caller): 0, -43 when there is none, -41 out of memory.
SRVStatus_t newestSaveName(sqlite3* database, char** name) {
    sqlite3_stmt* statement = prepare(database, NEWEST_SAVE_SQL, NULL, "No save found: %s");
    if (statement == NULL)
        return SRV_ERR_DATABASE;
    SRVStatus_t status = SRV_SUCCESS;
    const unsigned char* text = NULL;
    if (sqlite3_step(statement) != SQLITE_ROW || (text = sqlite3_column_text(statement, 0)) == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "No save found: %s", sqlite3_errmsg(database));
        status = SRV_ERR_DATABASE;
    } else {
        size_t length = std::strlen(reinterpret_cast<const char*>(text));
        *name = static_cast<char*>(c_malloc(length + 1));
        if (*name == NULL)
            status = SRV_ERR_BUFFER;
        else
            std::memcpy(*name, text, length + 1);
    }
    sqlite3_finalize(statement);
    return status;
}

// Applies the rows of a prepared, bound select of a save's parameters.
SRVStatus_t applyRows(SRVBoard_t* board, sqlite3* database, sqlite3_stmt* statement, const char* name, bool includeHV) {
    int step = sqlite3_step(statement);
    if (step == SQLITE_DONE) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "No save named '%s' found.", name);
        return SRV_ERR_DATABASE;
    }
    for (; step == SQLITE_ROW; step = sqlite3_step(statement)) {
        int32_t parentType = columnIndex(statement, 0);
        int32_t id[3] = {columnIndex(statement, 1), columnIndex(statement, 2), columnIndex(statement, 3)};
        const char* codename = reinterpret_cast<const char*>(sqlite3_column_text(statement, 5));
        double value = sqlite3_column_double(statement, 6);
        SRVParameter_t* param = findSavedParameter(board, parentType, id, codename);
        if (param == NULL)
            continue;
        if ((parentType == SRV_OBJ_HV_CHANNEL || parentType == SRV_OBJ_HV_RANGE) && !includeHV) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__,
                             "Skipping reload of HV parameter %s", param->name);
            continue;
        }
        if (SRVParameter_SetValue(&board->digitizer, param, value) != 0) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Error setting parameter %s.",
                             param->name);
            return SRV_ERR_INVALID_PARAMETER;
        }
    }
    if (step != SQLITE_DONE) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Error reading save '%s': %s", name,
                         sqlite3_errmsg(database));
        return SRV_ERR_DATABASE;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__, "Save '%s' correctly loaded.", name);
    return SRV_SUCCESS;
}

} // namespace

void SRV_ClearParentIds(uint32_t ids[4]) {
    for (int i = 0; i < 4; i++)
        ids[i] = 0;
}

SRVStatus_t SRV_CreateTables(sqlite3* database) {
    if (!runStatement(database, CREATE_SAVES_SQL, NULL, "Error creating save table: %s") ||
        !runStatement(database, CREATE_PARAMETERS_SQL, NULL, "Error creating parameter table: %s"))
        return SRV_ERR_DATABASE;
    return SRV_SUCCESS;
}

// The first free name of the time stamp and its numbered suffixes.
static bool createUnnamedSave(sqlite3* database) {
    for (int n = 1; n <= UNNAMED_SAVE_TRIES; n++) {
        char suffix[16] = "";
        if (n > 1)
            std::snprintf(suffix, sizeof suffix, " (%d)", n);
        if (!runStatement(database, INSERT_UNNAMED_SAVE_SQL, suffix, "Error creating save: %s"))
            return false;
        if (sqlite3_changes(database) == 1)
            return true;
    }
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error creating save: %d saves of this second exist already.",
              UNNAMED_SAVE_TRIES);
    return false;
}

SRVStatus_t SRV_CreateSave(sqlite3* database, const char* name, uint32_t* saveId) {
    bool created = name != NULL ? runStatement(database, INSERT_NAMED_SAVE_SQL, name, "Error creating save: %s")
                                : createUnnamedSave(database);
    if (!created)
        return SRV_ERR_DATABASE;
    sqlite3_stmt* statement = prepare(database, SAVE_ID_SQL, NULL, "Error getting save ID: %s");
    if (statement == NULL)
        return SRV_ERR_DATABASE;
    SRVStatus_t status = SRV_SUCCESS;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        *saveId = static_cast<uint32_t>(sqlite3_column_int64(statement, 0));
    } else {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error getting save ID: %s", sqlite3_errmsg(database));
        status = SRV_ERR_DATABASE;
    }
    sqlite3_finalize(statement);
    return status;
}

SRVStatus_t SRV_DeleteSave(sqlite3* database, const char* name) {
    bool deleted = name != NULL ? runStatement(database, DELETE_PARAMETERS_SQL, name, "Error deleting save: %s") &&
                                      runStatement(database, DELETE_SAVE_SQL, name, "Error deleting save: %s")
                                : runStatement(database, DELETE_ALL_PARAMETERS_SQL, NULL, "Error deleting save: %s") &&
                                      runStatement(database, DELETE_ALL_SAVES_SQL, NULL, "Error deleting save: %s");
    return deleted ? SRV_SUCCESS : SRV_ERR_DATABASE;
}

SRVStatus_t SRV_FreeSpace(sqlite3* database) {
    return runStatement(database, VACUUM_SQL, NULL, "Error freeing space: %s") ? SRV_SUCCESS : SRV_ERR_DATABASE;
}

SRVStatus_t SRV_InsertCollectionParameters(c_Digitizer_t* digitizer, const c_ParamCollection_t* collection,
                                           sqlite3* database, uint32_t saveId, uint32_t parentType,
                                           const uint32_t ids[4]) {
    if (collection == NULL || collection->count <= 0)
        return SRV_SUCCESS;
    sqlite3_stmt* statement = prepare(database, INSERT_PARAMETER_SQL, NULL, "Error inserting data: %s");
    if (statement == NULL)
        return SRV_ERR_DATABASE;
    SRVStatus_t status = SRV_SUCCESS;
    for (int64_t code = collection->firstCode; code <= collection->lastCode && status == SRV_SUCCESS; code++) {
        SRVParameter_t* param = reinterpret_cast<SRVParameter_t*>(_pretrieve(collection, static_cast<int32_t>(code)));
        if (param == NULL)
            continue;
        double value = 0;
        if (SRVParameter_GetValue(digitizer, param, &value) != 0) {
            c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error getting parameter %s.", param->name);
            status = SRV_ERR_INVALID_PARAMETER;
            break;
        }
        bool bound = sqlite3_bind_int64(statement, 1, saveId) == SQLITE_OK &&
                     sqlite3_bind_int64(statement, 2, parentType) == SQLITE_OK &&
                     sqlite3_bind_int64(statement, 3, ids[0]) == SQLITE_OK &&
                     sqlite3_bind_int64(statement, 4, ids[1]) == SQLITE_OK &&
                     sqlite3_bind_int64(statement, 5, ids[2]) == SQLITE_OK &&
                     sqlite3_bind_int64(statement, 6, ids[3]) == SQLITE_OK &&
                     sqlite3_bind_text(statement, 7, param->codename, -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                     sqlite3_bind_double(statement, 8, savedValue(value)) == SQLITE_OK;
        if (!bound || sqlite3_step(statement) != SQLITE_DONE) {
            c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error inserting data: %s",
                             sqlite3_errmsg(database));
            status = SRV_ERR_DATABASE;
        }
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    return status;
}

SRVStatus_t SRV_SaveConfiguration(SRVBoard_t* board, const char* dbPath, const char* name) {
    c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_INFO, __LINE__, "Saving configuration '%s' on '%s.",
                     orText(name, "(default name)"), orText(dbPath, ""));
    sqlite3* database = NULL;
    SRVClientFile_t folder;
    SRVStatus_t status = openDatabase(board, dbPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &database, &folder);
    if (status != SRV_SUCCESS)
        return status;
    status = beginTransaction(database) ? SRV_SUCCESS : SRV_ERR_DATABASE;
    if (status == SRV_SUCCESS) {
        status = SRV_CreateTables(database);
        if (status != SRV_SUCCESS)
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't create tables");
    }
    uint32_t saveId = 0;
    if (status == SRV_SUCCESS) {
        status = SRV_CreateSave(database, name, &saveId);
        if (status != SRV_SUCCESS)
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                             "Can't create new save with name '%s'", orText(name, "(default name)"));
    }
    if (status == SRV_SUCCESS)
        status = insertAllCollections(board, database, saveId);
    if (status == SRV_SUCCESS && !commitTransaction(database))
        status = SRV_ERR_DATABASE;
    if (status != SRV_SUCCESS)
        rollbackTransaction(database);
    return closeDatabase(board, database, &folder, status);
}

SRVStatus_t SRV_ApplySavedConfiguration(SRVBoard_t* board, sqlite3* database, const char* name, bool includeHV) {
    char* newest = NULL;
    if (name == NULL) {
        SRVStatus_t status = newestSaveName(database, &newest);
        if (status != SRV_SUCCESS)
            return status;
        name = newest;
    }
    SRVStatus_t status = SRV_ERR_DATABASE;
    sqlite3_stmt* statement = prepare(database, SAVE_ROWS_SQL, name, "Error reading save: %s");
    if (statement != NULL)
        status = applyRows(board, database, statement, name, includeHV);
    sqlite3_finalize(statement);
    c_free(newest);
    return status;
}

SRVStatus_t SRV_LoadConfiguration(SRVBoard_t* board, const char* dbPath, const char* name, bool includeHV) {
    c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_INFO, __LINE__, "Loading configuration '%s' from '%s.",
                     orText(name, "(last saved)"), orText(dbPath, ""));
    sqlite3* database = NULL;
    SRVClientFile_t folder;
    SRVStatus_t status = openDatabase(board, dbPath, SQLITE_OPEN_READONLY, &database, &folder);
    if (status != SRV_SUCCESS)
        return status;
    status = SRV_ApplySavedConfiguration(board, database, name, includeHV);
    if (status != SRV_SUCCESS)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't load save");
    return closeDatabase(board, database, &folder, status);
}

SRVStatus_t SRV_GetSavedConfigurations(SRVBoard_t* board, const char* dbPath, uint32_t* count,
                                       char names[SRV_CONFIG_LIST_MAX][SRV_CONFIG_NAME_SIZE], uint32_t offset) {
    *count = 0;
    c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_INFO, __LINE__, "Getting saved configurations on '%s.",
                     orText(dbPath, ""));
    sqlite3* database = NULL;
    SRVClientFile_t folder;
    SRVStatus_t status = openDatabase(board, dbPath, SQLITE_OPEN_READONLY, &database, &folder);
    if (status != SRV_SUCCESS)
        return status;
    sqlite3_stmt* statement = prepare(database, LIST_SAVES_SQL, NULL, "Error listing saves: %s");
    if (statement == NULL || sqlite3_bind_int64(statement, 1, SRV_CONFIG_LIST_MAX) != SQLITE_OK ||
        sqlite3_bind_int64(statement, 2, offset) != SQLITE_OK) {
        status = SRV_ERR_DATABASE;
    } else {
        int step = SQLITE_DONE;
        while (*count < SRV_CONFIG_LIST_MAX && (step = sqlite3_step(statement)) == SQLITE_ROW) {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            std::memset(names[*count], 0, SRV_CONFIG_NAME_SIZE);
            if (text != NULL)
                std::strncpy(names[*count], text, SRV_CONFIG_NAME_SIZE - 1);
            (*count)++;
        }
        // A page cut short by an error is reported, not passed off as the end.
        if (step != SQLITE_ROW && step != SQLITE_DONE) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Error listing saves: %s",
                             sqlite3_errmsg(database));
            status = SRV_ERR_DATABASE;
        }
    }
    sqlite3_finalize(statement);
    return closeDatabase(board, database, &folder, status);
}

SRVStatus_t SRV_DeleteConfiguration(SRVBoard_t* board, const char* dbPath, const char* name) {
    c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_INFO, __LINE__, "Deleting configuration '%s' from '%s'",
                     orText(name, "(all)"), orText(dbPath, ""));
    sqlite3* database = NULL;
    SRVClientFile_t folder;
    SRVStatus_t status = openDatabase(board, dbPath, SQLITE_OPEN_READWRITE, &database, &folder);
    if (status != SRV_SUCCESS)
        return status;
    // Both deletes in one transaction: a save is removed with its parameters
    // or not at all.
    status = beginTransaction(database) ? SRV_DeleteSave(database, name) : static_cast<SRVStatus_t>(SRV_ERR_DATABASE);
    if (status == SRV_SUCCESS && !commitTransaction(database))
        status = SRV_ERR_DATABASE;
    if (status != SRV_SUCCESS) {
        rollbackTransaction(database);
        c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_ERROR, __LINE__, "Can't delete configuration");
    } else {
        status = SRV_FreeSpace(database);
        if (status != SRV_SUCCESS)
            c_extendedLogMsg(&LOG_MODULE, digitizerOf(board), C_LOG_ERROR, __LINE__, "Can't free space");
    }
    return closeDatabase(board, database, &folder, status);
}

// ------------------------------------------------------- commands 31 to 34, 55

namespace {

// After the action: the header and status, or -33 for cmdMaskOut bits the
// command does not send. Releases the board lock.
void* finishWithoutFields(const SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVStatus_t result = SRV_RefuseUnknownOut(request, *status);
    SRVReply reply(request.command);
    if (result == SRV_SUCCESS && !reply.ok())
        result = SRV_ERR_SERIALIZE;
    return SRV_UnlockAndReply(&reply, request.board, result, replySize, status);
}

// The optional save name of bit 0 (a field without a terminator keeps its
// first 47 characters). False when the field can't be read.
bool readName(uint64_t maskIn, SRVRequest* request, char name[SRV_CONFIG_NAME_SIZE]) {
    std::memset(name, 0, SRV_CONFIG_NAME_SIZE);
    if ((maskIn & FIELD_NAME) == 0)
        return true;
    return request->text(name, SRV_CONFIG_NAME_SIZE);
}

// Commands 31 and 34: an action on the named save (or the default one)
// under the board lock, answered without fields.
void* runNamedCommand(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status,
                      SRVStatus_t (*action)(SRVBoard_t*, const char*, const char*)) {
    char name[SRV_CONFIG_NAME_SIZE];
    if (!readName(request.maskIn, &request.fields, name)) {
        *status = request.fields.status();
        return NULL;
    }
    *status = SRV_LockBoard(request.board);
    if (*status != SRV_SUCCESS)
        return NULL;
    *status = action(request.board, request.databasePath, (request.maskIn & FIELD_NAME) != 0 ? name : NULL);
    return finishWithoutFields(request, replySize, status);
}

} // namespace

// Commands 31 (save), 32 (load), 33 (list), 34 (delete) and 55 (database
// path), in the command-mask form. Fields by bit: 0 save name char[48],
// 1 page offset u32, 2 number of names u32, 3 u32 count and count names of
// char[48], 4 include high voltage u32, 5 database path char[401].
void* SRV_CmdSaveConfiguration(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    return runNamedCommand(request, replySize, status, SRV_SaveConfiguration);
}

void* SRV_CmdLoadConfiguration(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const uint64_t maskIn = request.maskIn;
    char name[SRV_CONFIG_NAME_SIZE];
    uint32_t includeHV = 0;
    if (!readName(maskIn, &request.fields, name) ||
        ((maskIn & FIELD_INCLUDE_HV) != 0 && !request.fields.u32(&includeHV))) {
        *status = request.fields.status();
        return NULL;
    }
    *status = SRV_LockBoard(request.board);
    if (*status != SRV_SUCCESS)
        return NULL;
    *status = SRV_LoadConfiguration(request.board, request.databasePath, (maskIn & FIELD_NAME) != 0 ? name : NULL,
                                    includeHV != 0);
    return finishWithoutFields(request, replySize, status);
}

void* SRV_CmdListConfigurations(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    const uint64_t maskOut = request.maskOut;
    uint32_t offset = 0;
    if ((request.maskIn & FIELD_OFFSET) != 0 && !request.fields.u32(&offset)) {
        *status = request.fields.status();
        return NULL;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    uint32_t count = 0;
    char(*names)[SRV_CONFIG_NAME_SIZE] =
        static_cast<char(*)[SRV_CONFIG_NAME_SIZE]>(c_calloc(SRV_CONFIG_LIST_MAX, SRV_CONFIG_NAME_SIZE));
    SRVStatus_t result = names != NULL ? SRV_GetSavedConfigurations(board, request.databasePath, &count, names, offset)
                                       : static_cast<SRVStatus_t>(SRV_ERR_BUFFER);
    SRVReply reply(request.command);
    if (result == SRV_SUCCESS) {
        if ((maskOut & FIELD_COUNT) != 0)
            reply.u32(count);
        if ((maskOut & FIELD_NAMES) != 0) {
            reply.u32(count);
            if (count > 0)
                reply.text(names[0], count * SRV_CONFIG_NAME_SIZE);
        }
        result = SRV_RefuseUnknownOut(request, reply.ok() ? SRV_SUCCESS : SRV_ERR_SERIALIZE);
    }
    c_free(names);
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

void* SRV_CmdDeleteConfiguration(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    return runNamedCommand(request, replySize, status, SRV_DeleteConfiguration);
}

// Command 55 reads its path under the board lock.
void* SRV_CmdDatabasePath(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVRequest& fields = request.fields;
    char* dbPath = request.databasePath;
    SRVStatus_t result = SRV_SUCCESS;
    if ((request.maskIn & FIELD_PATH) != 0) {
        // Read whole before it replaces the path: a short field changes nothing.
        // Zero-filled, so the path kept holds no stale bytes after its text.
        char path[SRV_PATH_SIZE] = {};
        if (!fields.text(path, SRV_PATH_SIZE))
            result = fields.status();
        else // the database is written and read only inside the working folder
            result = SRV_CheckClientPath(&LOG_MODULE, "Database file", path, false);
        if (result == SRV_SUCCESS)
            std::memcpy(dbPath, path, SRV_PATH_SIZE);
    }
    SRVReply reply(request.command);
    if (result == SRV_SUCCESS) {
        if ((request.maskOut & FIELD_PATH) != 0) {
            // The field is the text and then NUL bytes up to its width.
            char field[SRV_PATH_SIZE] = {};
            std::memcpy(field, dbPath, strnlen(dbPath, SRV_PATH_SIZE - 1));
            reply.text(field, SRV_PATH_SIZE);
        }
        // A reply that could not be built is answered with -1 here.
        if (!reply.ok())
            result = SRV_ERR_GENERIC;
    }
    return SRV_GiveReply(&reply, result, replySize, status);
}
