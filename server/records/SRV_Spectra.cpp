// Energy spectra: binding to their parameters, the bin scale, lookups by
// index path, clearing, start and stop times and spectrum files.
#include "SRV_Spectra.h"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "SRVParameters.h"
#include "SRV_ClientPaths.h"
#include "SRV_IndexPath.h"
#include "SRV_ListBuffers.h"

static const c_LogModule_t LOG_MODULE = {"SRV_SpectraLog.txt", "SRV_Spectra"};
// The start-up step that loads the files reports in the start-up's log.
static const c_LogModule_t STARTUP_LOG_MODULE = {"MorvaneServerLog.txt", "MorvaneServer"};

namespace {

// The statements of a spectrum file. The channel is a bound parameter like
// every value.
const char CREATE_TABLE_SQL[] =
    "CREATE TABLE IF NOT EXISTS EnergySpectrum(channel\t\tINT PRIMARY KEY NOT NULL,timestamp\t\tDATETIME DEFAULT "
    "CURRENT_TIMESTAMP, nbins\t\t\tINT,lld\t\t\tINT,uld\t\t\tINT,roil\t\t\tINT,roih\t\t\tINT,roinentries\tBIGINT,"
    "nentries\t\tBIGINT,realtime_ns\tBIGINT,deadtime_ns\tBIGINT,overflows\t\tINT,underflows\t\tINT,data\t\t\tBLOB)";
const char INSERT_ROW_SQL[] = "INSERT OR IGNORE INTO EnergySpectrum(channel) VALUES (?1);";
const char UPDATE_ROW_SQL[] =
    "UPDATE EnergySpectrum SET nbins\t\t\t= ?1,lld\t\t\t= ?2,uld\t\t\t= ?3,roil\t\t\t= ?4,roih\t\t\t= ?5,"
    "roinentries\t= ?6,nentries\t\t= ?7,realtime_ns\t= ?8,deadtime_ns\t= ?9,overflows\t\t= ?10,"
    "underflows\t\t= ?11,data\t\t\t= ?12 WHERE channel = ?13;";
const char SELECT_ROW_SQL[] =
    "SELECT nbins,lld,uld,roil,roih,roinentries,nentries,realtime_ns,deadtime_ns,overflows,underflows,data FROM "
    "EnergySpectrum WHERE channel = ?1;";

// Server parameters of a spectrum and of its ROI, by code name.
const char LLD_NAME[] = "PARAM_ENERGY_SPECTRUM_LLD";
const char ULD_NAME[] = "PARAM_ENERGY_SPECTRUM_ULD";
const char GSTAB_ROIL_NAME[] = "PARAM_ENERGY_SPECTRUM_GSTAB_ROIL";
const char GSTAB_ROIH_NAME[] = "PARAM_ENERGY_SPECTRUM_GSTAB_ROIH";
const char GSTAB_TIME_NAME[] = "PARAM_ENERGY_SPECTRUM_GSTAB_TIME";
const char GSTAB_MODE_NAME[] = "PARAM_ENERGY_SPECTRUM_GSTAB_MODE";
const char GSTAB_PPMC_NAME[] = "PARAM_ENERGY_SPECTRUM_GSTAB_PPMC";
const char ROI_LOW_NAME[] = "PARAM_ROI_LOW";
const char ROI_HIGH_NAME[] = "PARAM_ROI_HIGH";

// A double truncated to an integer within [low, high]; NaN gives low.
int64_t truncateWithin(double value, int64_t low, int64_t high) {
    if (!(value >= static_cast<double>(low)))
        return low;
    if (value >= static_cast<double>(high))
        return high;
    return static_cast<int64_t>(value);
}

// A bound value for a column of 32-bit integers (0 when unbound).
int columnInt(const double* value) {
    return value != nullptr ? static_cast<int>(truncateWithin(*value, INT32_MIN, INT32_MAX)) : 0;
}

// The spectrum's fields, and its gain stabiliser's, that show the server
// parameters of the spectrum's collection.
std::array<SRVValueBinding<double>, 7> spectrumBindings(SRVEnergySpectrum_t* spectrum) {
    SRVGainStabilizer_t* stabilizer = &spectrum->gainStabilizer;
    return {{
        {LLD_NAME, &spectrum->lld},
        {ULD_NAME, &spectrum->uld},
        {GSTAB_ROIL_NAME, &stabilizer->roiLow},
        {GSTAB_ROIH_NAME, &stabilizer->roiHigh},
        {GSTAB_TIME_NAME, &stabilizer->interval},
        {GSTAB_MODE_NAME, &stabilizer->mode},
        {GSTAB_PPMC_NAME, &stabilizer->ppmc},
    }};
}

// The ROI's bounds, from the server parameters of its collection.
std::array<SRVValueBinding<double>, 2> roiBindings(SRVROI_t* roi) {
    return {{
        {ROI_LOW_NAME, &roi->low},
        {ROI_HIGH_NAME, &roi->high},
    }};
}

SRVChannel_t* validChannel(SRVBoard_t* board, uint32_t channel) {
    if (board == nullptr || !SRV_IsValidChannel(board, static_cast<int32_t>(channel)))
        return nullptr;
    return &board->channels[channel];
}

// ------------------------------------------------------------ SQLite

// The first SQLite failure of a read or write of a file: its result code and
// SQLite's text, for the report of what is wrong with the file.
struct SqlFailure {
    int code = SQLITE_OK;
    // Room is left for the words that describeFailure puts in front.
    char text[SRV_FAILURE_TEXT_SIZE - 40] = "";

    // A failure met before SQLite had the file: its code and the reason.
    void noteText(int failureCode, const char* reason) {
        if (code != SQLITE_OK)
            return;
        code = failureCode;
        std::snprintf(text, sizeof text, "%s", reason);
    }
    void note(sqlite3* database) {
        if (code != SQLITE_OK)
            return;
        code = database != nullptr ? sqlite3_errcode(database) : SQLITE_NOMEM;
        if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE)
            code = SQLITE_ERROR;
        std::snprintf(text, sizeof text, "%s", database != nullptr ? sqlite3_errmsg(database) : "out of memory");
    }
};

// Closes a database handle; false when the close failed.
bool closeDatabase(sqlite3* database, SqlFailure* failure) {
    if (sqlite3_close(database) != SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error closing file");
        failure->note(database);
        return false;
    }
    return true;
}

// Opens a spectrum file inside the server's folders (its folder reached and
// the file opened following no link; one with other links is written as a
// file of its own): 0, -30 or -36. The folder stays open in folder until the
// database is closed.
SRVStatus_t openDatabase(const char* fileName, int flags, sqlite3** database, SRVClientFile_t* folder,
                         SqlFailure* failure) {
    *database = nullptr;
    char name[SRV_CLIENT_DATABASE_NAME_SIZE];
    bool writes = (flags & SQLITE_OPEN_READWRITE) != 0;
    SRVStatus_t status = SRV_OpenClientDatabase(&LOG_MODULE, "Spectrum file", fileName, true, writes, folder, name);
    if (status == SRV_ERR_INVALID_FILE_NAME) {
        failure->noteText(SQLITE_CANTOPEN, "it leads outside the server's folders");
        return status;
    }
    if (status != SRV_SUCCESS) {
        int error = errno;
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open '%s': %s", fileName, std::strerror(error));
        failure->noteText(SQLITE_CANTOPEN, std::strerror(error));
        return SRV_ERR_FILE_OPEN;
    }
    if (sqlite3_open_v2(name, database, flags | SQLITE_OPEN_NOFOLLOW, nullptr) == SQLITE_OK)
        return SRV_SUCCESS;
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open '%s': %s", fileName,
              *database != nullptr ? sqlite3_errmsg(*database) : "out of memory");
    failure->note(*database);
    return SRV_ERR_FILE_OPEN;
}

// Prepares and steps a statement that returns no row, with the channel bound
// when the statement has a parameter. False after logging the failure.
bool runStatement(sqlite3* database, const char* sql, uint32_t channel, const char* message, SqlFailure* failure) {
    sqlite3_stmt* statement = nullptr;
    bool done =
        sqlite3_prepare_v2(database, sql, -1, &statement, nullptr) == SQLITE_OK &&
        (sqlite3_bind_parameter_count(statement) == 0 || sqlite3_bind_int64(statement, 1, channel) == SQLITE_OK) &&
        sqlite3_step(statement) == SQLITE_DONE;
    if (!done) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, message, sqlite3_errmsg(database));
        failure->note(database);
    }
    sqlite3_finalize(statement);
    return done;
}

// Binds the spectrum's values to the update: SQLITE_OK or the first failure.
int bindSpectrum(sqlite3_stmt* statement, const SRVEnergySpectrum_t* spectrum, uint32_t channel) {
    const SRVROI_t* roi = &spectrum->rois[0];
    const SRVSpectrumCounters_t* total = &spectrum->total;
    int results[] = {
        sqlite3_bind_int(statement, 1, columnInt(spectrum->nbins)),
        sqlite3_bind_int(statement, 2, columnInt(spectrum->lld)),
        sqlite3_bind_int(statement, 3, columnInt(spectrum->uld)),
        sqlite3_bind_int(statement, 4, columnInt(roi->low)),
        sqlite3_bind_int(statement, 5, columnInt(roi->high)),
        sqlite3_bind_int64(statement, 6, static_cast<sqlite3_int64>(roi->entries)),
        sqlite3_bind_int64(statement, 7, static_cast<sqlite3_int64>(total->entries)),
        sqlite3_bind_int64(statement, 8, static_cast<sqlite3_int64>(total->realTimeNs)),
        sqlite3_bind_int64(statement, 9, static_cast<sqlite3_int64>(total->deadTimeNs)),
        sqlite3_bind_int(statement, 10, static_cast<int32_t>(total->overflows)),
        sqlite3_bind_int(statement, 11, static_cast<int32_t>(total->underflows)),
        sqlite3_bind_blob(statement, 12, spectrum->counts, SRV_SPECTRUM_DATA_BYTES, SQLITE_STATIC),
        sqlite3_bind_int64(statement, 13, channel),
    };
    for (int result : results)
        if (result != SQLITE_OK)
            return result;
    return SQLITE_OK;
}

SRVStatus_t updateRow(sqlite3* database, const SRVEnergySpectrum_t* spectrum, uint32_t channel, SqlFailure* failure) {
    sqlite3_stmt* statement = nullptr;
    SRVStatus_t status = SRV_SUCCESS;
    if (sqlite3_prepare_v2(database, UPDATE_ROW_SQL, -1, &statement, nullptr) != SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error updating data: %s", sqlite3_errmsg(database));
        status = SRV_ERR_DATABASE;
    } else if (bindSpectrum(statement, spectrum, channel) != SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error binding values: %s", sqlite3_errmsg(database));
        status = SRV_ERR_DATABASE;
    } else if (sqlite3_step(statement) != SQLITE_DONE) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error updating data: %s", sqlite3_errmsg(database));
        status = SRV_ERR_DATABASE;
    }
    if (status != SRV_SUCCESS)
        failure->note(database);
    sqlite3_finalize(statement);
    return status;
}

// Copies a row of the file into the spectrum. The stored histogram fills the
// bins from 0: a shorter one leaves the rest 0, a longer one is cut at the
// histogram's size, and only whole bins are taken.
void restoreRow(sqlite3_stmt* row, SRVEnergySpectrum_t* spectrum) {
    SRVROI_t* roi = &spectrum->rois[0];
    SRVSpectrumCounters_t* total = &spectrum->total;
    double restored[4];
    for (int column = 1; column <= 4; column++)
        restored[column - 1] = static_cast<double>(sqlite3_column_int(row, column));
    double* targets[4] = {spectrum->lld, spectrum->uld, roi->low, roi->high};
    for (int i = 0; i < 4; i++)
        if (targets[i] != nullptr)
            *targets[i] = restored[i];
    roi->entries = static_cast<uint64_t>(sqlite3_column_int64(row, 5));
    total->entries = static_cast<uint64_t>(sqlite3_column_int64(row, 6));
    total->realTimeNs = static_cast<uint64_t>(sqlite3_column_int64(row, 7));
    total->deadTimeNs = static_cast<uint64_t>(sqlite3_column_int64(row, 8));
    total->overflows = static_cast<uint32_t>(sqlite3_column_int(row, 9));
    total->underflows = static_cast<uint32_t>(sqlite3_column_int(row, 10));
    std::memset(&spectrum->cycle, 0, sizeof spectrum->cycle);
    std::memset(spectrum->counts, 0, sizeof spectrum->counts);
    const void* data = sqlite3_column_blob(row, 11);
    int bytes = sqlite3_column_bytes(row, 11);
    if (data != nullptr && bytes > 0) {
        size_t size = static_cast<size_t>(bytes);
        if (size > SRV_SPECTRUM_DATA_BYTES)
            size = SRV_SPECTRUM_DATA_BYTES;
        size -= size % sizeof spectrum->counts[0];
        std::memcpy(spectrum->counts, data, size);
    }
}

// Sets the restored levels and ROI bounds on their server parameters, in
// order; the first that fails ends it with -37.
SRVStatus_t applyRestoredLimits(SRVBoard_t* board, SRVEnergySpectrum_t* spectrum) {
    SRVROI_t* roi = &spectrum->rois[0];
    struct {
        const c_ParamCollection_t* collection;
        const char* name;
        const double* value;
    } limits[] = {
        {spectrum->collection, LLD_NAME, spectrum->lld},
        {spectrum->collection, ULD_NAME, spectrum->uld},
        {roi->collection, ROI_LOW_NAME, roi->low},
        {roi->collection, ROI_HIGH_NAME, roi->high},
    };
    for (const auto& limit : limits) {
        SRVParameter_t* param = SRV_FindParameter(board, limit.collection, limit.name);
        if (param == nullptr || limit.value == nullptr ||
            SRVParameter_SetValue(&board->digitizer, param, *limit.value) != 0)
            return SRV_ERR_PARAMETER_VALUE;
    }
    return SRV_SUCCESS;
}

// ---------------------------------------------------- index-path lookups

struct PathIndexes {
    int32_t channel = -1;
    int32_t spectrum = -1;
    int32_t roi = -1;
};

// Reads the pairs (index, type) of a path; false for a type that the lookup
// does not take. A lone last element is ignored; a later pair of a type wins.
bool readPath(const int32_t* path, uint32_t length, bool withROI, PathIndexes* indexes) {
    const SRVPathSlot_t slots[] = {
        {SRV_OBJ_CHANNEL, &indexes->channel},
        {SRV_OBJ_ENERGY_SPECTRUM, &indexes->spectrum},
        {SRV_OBJ_ROI, &indexes->roi},
    };
    return SRV_ReadIndexPath(path, length, slots, withROI ? 3 : 2);
}

SRVStatus_t findSpectrumOf(SRVBoard_t* board, const PathIndexes& indexes, SRVEnergySpectrum_t** spectrum) {
    if (!SRV_IsValidChannel(board, indexes.channel)) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Invalid channel index '%i'.", indexes.channel);
        return SRV_ERR_INVALID_PARAMETER;
    }
    if (!SRV_IsValidEnergySpectrum(board, indexes.channel, indexes.spectrum)) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Invalid energy spectrum index '%i'.", indexes.spectrum);
        return SRV_ERR_INVALID_PARAMETER;
    }
    SRVEnergySpectrum_t* found = &board->channels[indexes.channel].energySpectra[indexes.spectrum];
    if (found->nbins == nullptr) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__,
                  "Channel %i has no energy spectrum: its firmware records waveforms only.", indexes.channel);
        return SRV_ERR_UNSUPPORTED;
    }
    *spectrum = found;
    return SRV_SUCCESS;
}

} // namespace

// ================================================================ binding

SRVStatus_t SRV_InitEnergySpectrum(SRVBoard_t* board, uint32_t channel, uint32_t spectrumIndex) {
    SRVChannel_t* frame = validChannel(board, channel);
    if (frame == nullptr || spectrumIndex >= SRV_MAX_ENERGY_SPECTRA)
        return SRV_ERR_RESOURCE;
    SRVEnergySpectrum_t* spectrum = &frame->energySpectra[spectrumIndex];
    const c_BoardDescriptor_t* descriptor = &board->digitizer.descriptor;
    spectrum->channel = frame;
    spectrum->adcBits = descriptor->ADCBits != 0 ? descriptor->ADCBits : descriptor->ADC_NBits;
    spectrum->period = SRV_SPECTRUM_DEFAULT_PERIOD_MS;

    // A firmware that only records waveforms has no bin count: its channel
    // keeps the record (and its parameters) without a histogram, and the
    // spectrum commands answer that it has none.
    c_Parameter_t* nbins = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_SPECTRUM_NBINS);
    spectrum->nbins = nbins != nullptr ? &nbins->value : nullptr;
    if (nbins == nullptr)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "Channel %u has no energy spectrum.",
                         channel);

    if (!SRV_BindParameterValues(board, spectrum->collection, spectrumBindings(spectrum)))
        return SRV_ERR_RESOURCE;
    return SRV_SUCCESS;
}

SRVStatus_t SRV_InitROI(SRVBoard_t* board, uint32_t channel, uint32_t spectrumIndex, uint32_t roiIndex) {
    SRVChannel_t* frame = validChannel(board, channel);
    if (frame == nullptr || spectrumIndex >= SRV_MAX_ENERGY_SPECTRA || roiIndex >= SRV_MAX_ROIS)
        return SRV_ERR_RESOURCE;
    SRVEnergySpectrum_t* spectrum = &frame->energySpectra[spectrumIndex];
    SRVROI_t* roi = &spectrum->rois[roiIndex];
    roi->spectrum = spectrum;
    if (!SRV_BindParameterValues(board, roi->collection, roiBindings(roi)))
        return SRV_ERR_RESOURCE;
    return SRV_SUCCESS;
}

void SRV_UnbindEnergySpectrum(SRVEnergySpectrum_t* spectrum) {
    spectrum->nbins = nullptr;
    SRV_UnbindParameterValues(spectrumBindings(spectrum));
    // The gain stabiliser binds its factor to a parameter of the channel.
    spectrum->gainStabilizer.factor = nullptr;
    for (SRVROI_t& roi : spectrum->rois)
        SRV_UnbindParameterValues(roiBindings(&roi));
}

// ============================================================== bin scale

uint32_t SRV_SpectrumBinCount(const SRVEnergySpectrum_t* spectrum) {
    if (spectrum == nullptr || spectrum->nbins == nullptr)
        return 0;
    return static_cast<uint32_t>(truncateWithin(*spectrum->nbins, 0, SRV_SPECTRUM_MAX_BINS));
}

uint32_t SRV_SpectrumBinShift(const SRVEnergySpectrum_t* spectrum) {
    uint32_t bins = SRV_SpectrumBinCount(spectrum);
    // The highest power of two of the count: for a power of two its
    // trailing zeros, for any other count the bins it can fill all lie below
    // it. No bins at all: every energy is an overflow whatever the shift.
    int log2Bins = 0;
    while (bins > 1) {
        bins >>= 1;
        log2Bins++;
    }
    int shift = static_cast<int>(spectrum != nullptr ? spectrum->adcBits : 0) - log2Bins;
    if (shift < 0)
        return 0;
    return shift > 16 ? 16u : static_cast<uint32_t>(shift);
}

uint16_t SRV_SpectrumLevel(const double* value) {
    return value != nullptr ? static_cast<uint16_t>(truncateWithin(*value, 0, UINT16_MAX)) : 0;
}

// ================================================================ lookups

SRVStatus_t SRV_FindEnergySpectrum(SRVBoard_t* board, const int32_t* path, uint32_t length,
                                   SRVEnergySpectrum_t** spectrum) {
    PathIndexes indexes;
    if (board == nullptr || spectrum == nullptr || !readPath(path, length, false, &indexes))
        return SRV_ERR_INVALID_PARAMETER;
    return findSpectrumOf(board, indexes, spectrum);
}

SRVStatus_t SRV_FindROI(SRVBoard_t* board, const int32_t* path, uint32_t length, SRVROI_t** roi) {
    PathIndexes indexes;
    if (board == nullptr || roi == nullptr || !readPath(path, length, true, &indexes))
        return SRV_ERR_INVALID_PARAMETER;
    SRVEnergySpectrum_t* spectrum = nullptr;
    SRVStatus_t status = findSpectrumOf(board, indexes, &spectrum);
    if (status != SRV_SUCCESS)
        return status;
    if (!SRV_IsValidROI(board, indexes.channel, indexes.spectrum, indexes.roi)) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Invalid ROI index '%i'.", indexes.roi);
        return SRV_ERR_INVALID_PARAMETER;
    }
    *roi = &spectrum->rois[indexes.roi];
    return SRV_SUCCESS;
}

// ============================================================= the record

SRVStatus_t SRV_ClearEnergySpectrum(SRVEnergySpectrum_t* spectrum) {
    if (spectrum == nullptr)
        return SRV_ERR_RESOURCE;
    SRVChannel_t* channel = spectrum->channel;
    if (channel != nullptr) {
        channel->realTimeSum = 0;
        channel->deadTimeSum = 0;
        channel->inputCount = 0;
        channel->icrCounts = 0.0;
        // The events buffered for list mode are dropped.
        SRV_DropListEvents(&channel->listSave);
    }
    std::memset(spectrum->counts, 0, sizeof spectrum->counts);
    std::memset(&spectrum->total, 0, sizeof spectrum->total);
    std::memset(&spectrum->cycle, 0, sizeof spectrum->cycle);
    for (SRVROI_t& roi : spectrum->rois)
        roi.entries = 0;
    return SRV_SUCCESS;
}

void SRV_FormatLocalTime(char text[SRV_TIME_TEXT_SIZE]) {
    std::time_t now = std::time(nullptr);
    std::tm local;
    std::memset(&local, 0, sizeof local);
    localtime_r(&now, &local);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::snprintf(text, SRV_TIME_TEXT_SIZE, "%.19s", buffer);
}

void SRV_SetSpectrumStartTime(SRVEnergySpectrum_t* spectrum) {
    if (spectrum != nullptr)
        SRV_FormatLocalTime(spectrum->startTime);
}

void SRV_SetSpectrumStopTime(SRVEnergySpectrum_t* spectrum) {
    if (spectrum != nullptr)
        SRV_FormatLocalTime(spectrum->stopTime);
}

// ================================================================== files

namespace {

SRVStatus_t writeSpectrumFile(const SRVEnergySpectrum_t* spectrum, uint32_t channel, const char* fileName,
                              SqlFailure* failure) {
    if (spectrum == nullptr || fileName == nullptr)
        return SRV_ERR_FILE_OPEN;
    sqlite3* database = nullptr;
    SRVClientFile_t folder;
    SRVStatus_t status =
        openDatabase(fileName, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &database, &folder, failure);
    // One transaction: a process killed while writing leaves the file as it
    // was before, never a table without its row or a row without its values.
    bool inTransaction = status == SRV_SUCCESS &&
                         runStatement(database, "BEGIN IMMEDIATE", channel, "Error beginning transaction: %s", failure);
    if (status == SRV_SUCCESS && !inTransaction)
        status = SRV_ERR_DATABASE;
    if (status == SRV_SUCCESS &&
        !runStatement(database, CREATE_TABLE_SQL, channel, "Error creating table: %s", failure))
        status = SRV_ERR_DATABASE;
    // A new row takes its time stamp from the column default; an existing
    // row keeps its first one.
    if (status == SRV_SUCCESS && !runStatement(database, INSERT_ROW_SQL, channel, "Error inserting data: %s", failure))
        status = SRV_ERR_DATABASE;
    if (status == SRV_SUCCESS)
        status = updateRow(database, spectrum, channel, failure);
    if (inTransaction) {
        bool commit = status == SRV_SUCCESS;
        if (!runStatement(database, commit ? "COMMIT" : "ROLLBACK", channel, "Error ending transaction: %s", failure))
            status = SRV_ERR_DATABASE;
    }
    if (database != nullptr && !closeDatabase(database, failure))
        status = SRV_ERR_DATABASE;
    SRV_CloseClientFolder(&folder);
    return status;
}

// The loader. noRow is set when the file holds no row for the channel.
// Without a board and a spectrum it only reads the row: whether the file can
// be loaded.
SRVStatus_t loadSpectrumFile(SRVBoard_t* board, SRVEnergySpectrum_t* spectrum, uint32_t channel, const char* fileName,
                             SqlFailure* failure, bool* noRow) {
    *noRow = false;
    bool restores = board != nullptr && spectrum != nullptr;
    if (fileName == nullptr || (!restores && (board != nullptr || spectrum != nullptr)))
        return SRV_ERR_FILE_OPEN;
    sqlite3* database = nullptr;
    SRVClientFile_t folder;
    SRVStatus_t status = openDatabase(fileName, SQLITE_OPEN_READONLY, &database, &folder, failure);
    if (status == SRV_SUCCESS) {
        sqlite3_stmt* row = nullptr;
        int step = SQLITE_ERROR;
        if (sqlite3_prepare_v2(database, SELECT_ROW_SQL, -1, &row, nullptr) == SQLITE_OK &&
            sqlite3_bind_int64(row, 1, channel) == SQLITE_OK)
            step = sqlite3_step(row);
        bool found = step == SQLITE_ROW;
        if (found) {
            if (restores)
                restoreRow(row, spectrum);
        } else {
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error selecting data: %s", sqlite3_errmsg(database));
            *noRow = step == SQLITE_DONE;
            failure->note(database);
            status = SRV_ERR_DATABASE;
        }
        sqlite3_finalize(row);
        if (found && restores)
            status = applyRestoredLimits(board, spectrum);
    }
    if (database != nullptr && !closeDatabase(database, failure))
        status = SRV_ERR_DATABASE;
    SRV_CloseClientFolder(&folder);
    return status;
}

// What is wrong with a spectrum file, for a person: the status of the read
// or write and SQLite's first failure.
void describeFailure(SRVFileFailure_t* out, const char* fileName, SRVStatus_t status, const SqlFailure& failure,
                     bool writing, bool noRow, uint32_t channel) {
    if (out == nullptr)
        return;
    out->status = status;
    std::snprintf(out->path, sizeof out->path, "%s", fileName != nullptr ? fileName : "");
    const char* text = failure.text[0] != '\0' ? failure.text : "unknown reason";
    int code = failure.code & 0xFF;
    if (noRow)
        std::snprintf(out->reason, sizeof out->reason, "holds no spectrum of channel %u", channel);
    else if (status == SRV_ERR_PARAMETER_VALUE)
        std::snprintf(out->reason, sizeof out->reason, "holds levels or ROI bounds that channel %u refuses", channel);
    else if (code == SQLITE_NOTADB)
        std::snprintf(out->reason, sizeof out->reason, "is not a database");
    else if (code == SQLITE_CORRUPT)
        std::snprintf(out->reason, sizeof out->reason, "is damaged: %s", text);
    else if (status == SRV_ERR_FILE_OPEN)
        std::snprintf(out->reason, sizeof out->reason, "cannot be %s: %s", writing ? "created" : "opened", text);
    else
        std::snprintf(out->reason, sizeof out->reason, "cannot be %s: %s", writing ? "written" : "read", text);
}

} // namespace

SRVStatus_t SRV_WriteEnergySpectrumFile(const SRVEnergySpectrum_t* spectrum, uint32_t channel, const char* fileName) {
    SqlFailure failure;
    return writeSpectrumFile(spectrum, channel, fileName, &failure);
}

SRVStatus_t SRV_LoadEnergySpectrum(SRVBoard_t* board, SRVEnergySpectrum_t* spectrum, uint32_t channel,
                                   const char* fileName) {
    SqlFailure failure;
    bool noRow = false;
    return loadSpectrumFile(board, spectrum, channel, fileName, &failure, &noRow);
}

SRVStatus_t SaveEnergySpectrum(SRVBoard_t* board, uint32_t channel, const char* fileName, SRVFileFailure_t* failure) {
    SRVFileFailure_t unreported;
    if (failure == nullptr)
        failure = &unreported;
    c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Saving energy spectrum for channel %u.", channel);
    SRVChannel_t* frame = validChannel(board, channel);
    SRVStatus_t status = SRV_ERR_RESOURCE;
    SqlFailure sql;
    if (frame != nullptr)
        status = writeSpectrumFile(&frame->energySpectra[0], channel, fileName, &sql);
    if (status != SRV_SUCCESS) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error saving channel %u energy spectrum to file.", channel);
        describeFailure(failure, fileName, status, sql, true, false, channel);
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Spectrum file %s %s.", failure->path, failure->reason);
    } else {
        c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Channel %u energy spectrum saved to file.", channel);
    }
    return status;
}

SRVStatus_t SRV_SaveEnergySpectra(SRVBoard_t* board) {
    SRVStatus_t first = SRV_SUCCESS;
    for (uint32_t channel = 0; channel < SRV_ChannelCount(board); channel++) {
        const char* path = board->channels[channel].energySpectra[0].filePath;
        SRVFileFailure_t* failure = &board->channels[channel].spectrumSaveFailure;
        std::memset(failure, 0, sizeof *failure);
        if (path[0] == '\0')
            continue;
        SRVStatus_t status = SaveEnergySpectrum(board, channel, path, failure);
        if (first == SRV_SUCCESS)
            first = status;
    }
    return first;
}

SRVStatus_t SRV_LoadChannelSpectrum(SRVBoard_t* board, uint32_t channel, const char* fileName,
                                    SRVFileFailure_t* failure) {
    SRVFileFailure_t unreported;
    if (failure == nullptr)
        failure = &unreported;
    const char* name = fileName != nullptr ? fileName : "";
    c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Loading energy spectrum from file %s.", name);
    SRVChannel_t* frame = validChannel(board, channel);
    SRVStatus_t status = SRV_ERR_RESOURCE;
    SqlFailure sql;
    bool noRow = false;
    if (frame != nullptr)
        status = loadSpectrumFile(board, &frame->energySpectra[0], channel, fileName, &sql, &noRow);
    if (status != SRV_SUCCESS) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error loading energy spectrum from file %s.", name);
        describeFailure(failure, fileName, status, sql, false, noRow, channel);
    } else {
        c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Energy spectrum loaded from file %s.", name);
    }
    return status;
}

// The path of a channel's spectrum file in the data folder: false when it
// does not fit, with what is wrong in *failure.
static bool spectrumFilePath(char path[SRV_PATH_SIZE], const char* dataFolder, uint32_t channel,
                             SRVFileFailure_t* failure) {
    int written = std::snprintf(path, SRV_PATH_SIZE, "%s/spectrum_ch%02u.spe", dataFolder, channel);
    if (written >= 0 && written < SRV_PATH_SIZE)
        return true;
    failure->status = SRV_ERR_RESOURCE;
    std::snprintf(failure->path, sizeof failure->path, "%s", dataFolder);
    std::snprintf(failure->reason, sizeof failure->reason, "is too long a folder for the spectrum files");
    return false;
}

// An empty file is one whose first write never completed (the process was
// killed): it holds nothing, like a missing file.
static bool isEmptyFile(const char* path) {
    std::error_code sizeError;
    return std::filesystem::file_size(path, sizeError) == 0 && !sizeError;
}

// The loads of every channel's file; outcome says, in the log, what a file
// that can't be loaded ends. A failure leaves no channel loaded: the spectra
// loaded before it are cleared and keep no file, so that nothing writes them
// over the files they came from.
static SRVStatus_t loadSpectrumFiles(SRVBoard_t* board, const char* dataFolder, SRVFileFailure_t* failure,
                                     const c_LogModule_t* callerLog, const char* outcome) {
    SRVFileFailure_t unreported;
    if (failure == nullptr)
        failure = &unreported;
    std::memset(failure, 0, sizeof *failure);
    if (board == nullptr || dataFolder == nullptr)
        return SRV_ERR_RESOURCE;
    SRVStatus_t status = SRV_SUCCESS;
    uint32_t loaded = 0;
    for (; loaded < SRV_ChannelCount(board) && status == SRV_SUCCESS; loaded++) {
        SRVEnergySpectrum_t* spectrum = &board->channels[loaded].energySpectra[0];
        char path[SRV_PATH_SIZE];
        if (!spectrumFilePath(path, dataFolder, loaded, failure)) {
            c_lprintf(callerLog, C_LOG_ERROR, __LINE__, "Can't create file '%s.'", dataFolder);
            status = SRV_ERR_RESOURCE;
            break;
        }
        status = SRV_LoadChannelSpectrum(board, loaded, path, failure);
        if (status == SRV_ERR_FILE_OPEN || (status == SRV_ERR_DATABASE && isEmptyFile(path)))
            status = SaveEnergySpectrum(board, loaded, path, failure);
        if (status != SRV_SUCCESS) {
            c_lprintf(callerLog, C_LOG_ERROR, __LINE__, "Can't create file '%s.'", path);
            // The file is left as it is.
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Spectrum file %s %s: %s.", path, failure->reason, outcome);
            break;
        }
        std::memset(failure, 0, sizeof *failure);
        std::snprintf(spectrum->filePath, sizeof spectrum->filePath, "%s", path);
        std::snprintf(spectrum->label, sizeof spectrum->label, "%s", SRV_SPECTRUM_DEFAULT_LABEL);
    }
    if (status != SRV_SUCCESS)
        for (uint32_t channel = 0; channel <= loaded && channel < SRV_ChannelCount(board); channel++) {
            SRVEnergySpectrum_t* spectrum = &board->channels[channel].energySpectra[0];
            SRV_ClearEnergySpectrum(spectrum);
            spectrum->filePath[0] = '\0';
        }
    return status;
}

SRVStatus_t SRV_LoadSpectrumFiles(SRVBoard_t* board, const char* dataFolder, SRVFileFailure_t* failure) {
    return loadSpectrumFiles(board, dataFolder, failure, &STARTUP_LOG_MODULE, "the start-up ends");
}

SRVStatus_t SRV_LoadReplaySpectrumFiles(SRVBoard_t* board, const char* dataFolder, const c_LogModule_t* commandLog,
                                        SRVFileFailure_t* failure) {
    return loadSpectrumFiles(board, dataFolder, failure, commandLog, "no spectrum of the replay is loaded");
}

SRVStatus_t SRV_CheckSpectrumFiles(const char* dataFolder, uint32_t channels, SRVFileFailure_t* failure) {
    std::memset(failure, 0, sizeof *failure);
    for (uint32_t channel = 0; channel < channels; channel++) {
        char path[SRV_PATH_SIZE];
        if (!spectrumFilePath(path, dataFolder, channel, failure))
            return SRV_ERR_RESOURCE;
        SqlFailure sql;
        bool noRow = false;
        SRVStatus_t status = loadSpectrumFile(nullptr, nullptr, channel, path, &sql, &noRow);
        // A file that can't be opened, or is empty, is one the load creates.
        if (status == SRV_SUCCESS || status == SRV_ERR_FILE_OPEN || (status == SRV_ERR_DATABASE && isEmptyFile(path)))
            continue;
        describeFailure(failure, path, status, sql, false, noRow, channel);
        return status;
    }
    return SRV_SUCCESS;
}
