// The run files: their names, their folder "Run", the run file a start
// writes, and the load of one, which replaces the board by a replay.
#include "SRV_RunFiles.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "SRVBoardThread.h"
#include "SRV_AcquisitionControl.h"
#include "SRV_BoardIdentity.h"
#include "SRV_BoardLifecycle.h"
#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_List.h"
#include "SRV_Spectra.h"

// The run files log where they did when they shared a module with the starts
// and stops.
static const c_LogModule_t LOG_MODULE = {"SRVAcquisitionControlLog.txt", "SRV_AcquisitionControl"};
static const c_LogModule_t COMMON_LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

// The board's model name, which need not hold a terminator.
static int modelLength(const c_BoardDescriptor_t* descriptor) {
    return static_cast<int>(strnlen(descriptor->ModelName, sizeof descriptor->ModelName));
}

bool SRV_IsValidRunFileName(const char* name) {
    if (name == NULL || strnlen(name, SRV_RUN_FILE_NAME_SIZE) >= SRV_RUN_FILE_NAME_SIZE)
        return false;
    if (std::strchr(name, '/') != NULL || std::strchr(name, '\\') != NULL)
        return false;
    const char* point = std::strrchr(name, '.');
    return point != NULL && std::strcmp(point, SRV_RUN_FILE_ENDING) == 0;
}

bool SRV_RunFilePath(char out[SRV_PATH_SIZE], const char* name) {
    int written = std::snprintf(out, SRV_PATH_SIZE, "%s/%s", SRV_RUN_FOLDER, name);
    return written >= 0 && written < SRV_PATH_SIZE;
}

// Writes a run file anew: its folder reached from the working folder and the
// file made there following no link, an earlier file of that name deleted
// first. The file, or NULL with the status: -30 (the path leads outside the
// working folder now) or -17.
static FILE* createRunFile(const char* path, SRVStatus_t* status) {
    SRVClientFile_t folder;
    *status = SRV_OpenClientFolder(&LOG_MODULE, "Run file", path, false, false, &folder);
    if (*status == SRV_ERR_INVALID_FILE_NAME)
        return NULL;
    FILE* file = NULL;
    if (*status == SRV_SUCCESS && unlinkat(folder.folder, folder.name, 0) != 0 && errno != ENOENT) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't delete run file %s.", path);
        *status = SRV_ERR_RESOURCE;
    } else {
        int fd = *status == SRV_SUCCESS ? SRV_CreateClientFile(&folder) : -1;
        file = fd >= 0 ? fdopen(fd, "w") : NULL;
        if (file == NULL) {
            if (fd >= 0)
                close(fd);
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open run file %s for writing.", path);
            *status = SRV_ERR_RESOURCE;
        }
    }
    SRV_CloseClientFolder(&folder);
    return file;
}

// Opens a run file for reading, in its folder reached from the working
// folder, following no link. The file, or NULL with the status: -28 (no such
// file), -30 (the path leads outside the working folder now) or -17.
static FILE* openRunFile(const char* path, SRVStatus_t* status) {
    SRVClientFile_t folder;
    *status = SRV_OpenClientFolder(&LOG_MODULE, "Run file", path, false, false, &folder);
    int fd = *status == SRV_SUCCESS ? SRV_OpenClientFile(&folder) : -1;
    int error = errno;
    SRV_CloseClientFolder(&folder);
    FILE* file = fd >= 0 ? fdopen(fd, "r") : NULL;
    if (file == NULL && fd >= 0)
        close(fd);
    if (file != NULL || *status == SRV_ERR_INVALID_FILE_NAME)
        return file;
    if (fd < 0 && error == ENOENT) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "File %s doesn't exist.", path);
        *status = SRV_ERR_FILE_NOT_FOUND;
    } else {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open run file %s for reading.", path);
        *status = SRV_ERR_RESOURCE;
    }
    return NULL;
}

// Ends the recording still open, if any (a failure of it is logged: it
// concerns the earlier run), and opens the next raw-data file, with recording
// switched on: 0 or -26. Board lock held.
static SRVStatus_t openNextRawDataFile(SRVBoard_t* board) {
    c_Digitizer_t* digitizer = &board->digitizer;
    SRV_EndRawDataRecording(board);
    if (c_bdnext(digitizer, &digitizer->writer, 1) != 0) {
        c_extendedLogMsg(&COMMON_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Can't open next buffer dumper.");
        // A file left open with part of its header is closed here: the start
        // answers this failure, so no later stop reports it again.
        c_bdclose(&digitizer->writer);
        return SRV_ERR_DUMPER_OPEN;
    }
    digitizer->dumpEnabled = 1;
    return SRV_SUCCESS;
}

SRVStatus_t SRV_PrepareRunFile(SRVBoard_t* board, char path[SRV_PATH_SIZE]) {
    if (path[0] == '\0')
        return SRV_SUCCESS;
    SRVStatus_t status = SRV_SUCCESS;
    FILE* file = createRunFile(path, &status);
    if (file == NULL)
        return status;
    // A replayed board records nothing: its run file stays empty.
    if (!board->open || board->digitizer.replay) {
        std::fclose(file);
        path[0] = '\0';
        return SRV_SUCCESS;
    }
    status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS) {
        std::fclose(file);
        return status;
    }
    SRVStatus_t opened = openNextRawDataFile(board);
    char line[SRV_PATH_SIZE + sizeof board->digitizer.writer.fileName];
    const c_BoardDescriptor_t* descriptor = &board->digitizer.descriptor;
    std::snprintf(line, sizeof line, "%.*s_%u %s\n", modelLength(descriptor), descriptor->ModelName,
                  descriptor->SerialNumber, board->digitizer.writer.fileName);
    status = SRV_UnlockBoard(board);
    if (opened != SRV_SUCCESS) {
        std::fclose(file);
        return opened;
    }
    if (status != SRV_SUCCESS) {
        std::fclose(file);
        return status;
    }
    std::fputs(line, file);
    std::fclose(file);
    path[0] = '\0';
    return SRV_SUCCESS;
}

static bool hasRunFileEnding(const char* name) {
    const char* point = std::strrchr(name, '.');
    return point != NULL && std::strcmp(point, SRV_RUN_FILE_ENDING) == 0;
}

SRVStatus_t SRV_ListRunFiles(char names[SRV_RUN_FILES_MAX][SRV_RUN_FILE_NAME_SIZE], int32_t* count) {
    *count = 0;
    c_dir_t* folder = c_opendir(SRV_RUN_FOLDER);
    if (folder == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open folder %s.", SRV_RUN_FOLDER);
        return SRV_ERR_RESOURCE;
    }
    const char* entry;
    while (*count < SRV_RUN_FILES_MAX && (entry = c_readdir(folder)) != NULL) {
        if (!hasRunFileEnding(entry))
            continue;
        std::snprintf(names[*count], SRV_RUN_FILE_NAME_SIZE, "%s", entry);
        (*count)++;
    }
    c_closedir(folder);
    return SRV_SUCCESS;
}

// ------------------------------------------------------- loading a run file

// What the board was opened from, so that a replay that can't be opened
// gives the previous board back.
struct BoardSource {
    bool replay;
    SRVConnParams_t connParams;
    char rawDataFile[SRV_PATH_SIZE];
};

// The raw-data file of the replay that is open now (empty for a live board).
static char currentReplayFile[SRV_PATH_SIZE];

static BoardSource currentSource(const SRVBoard_t* board) {
    BoardSource source;
    std::memset(&source, 0, sizeof source);
    const c_Digitizer_t* digitizer = &board->digitizer;
    source.replay = digitizer->replay != 0 && currentReplayFile[0] != '\0';
    std::snprintf(source.rawDataFile, sizeof source.rawDataFile, "%s", currentReplayFile);
    source.connParams.linkType = static_cast<int16_t>(digitizer->connParams.linkType);
    source.connParams.linkNumber = static_cast<int16_t>(digitizer->connParams.linkNumber);
    source.connParams.node = static_cast<int16_t>(digitizer->connParams.node);
    source.connParams.vmeBase = digitizer->connParams.vmeBase;
    return source;
}

static SRVStatus_t reopenSource(const BoardSource& source) {
    if (source.replay)
        return SRV_AddBoard(NULL, source.rawDataFile);
    return SRV_AddBoard(&source.connParams, NULL);
}

// What the start-up does after the board open, for the board that was just
// opened in place: its spectrum files and list-mode defaults, in its own data
// folder.
static void prepareNewBoard(SRVBoard_t* board) {
    char dataPath[SRV_FOLDER_SIZE];
    if (SRV_LockBoard(board) != SRV_SUCCESS)
        return;
    if (SRV_GetBoardDataPath(board, dataPath) == SRV_SUCCESS) {
        if (c_mkdirp(dataPath) != 0)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't create folder '%s.'", dataPath);
        if (SRV_LoadSpectrumFiles(board, dataPath, NULL) != SRV_SUCCESS)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't load the spectrum files of %s.", dataPath);
        SRV_InitListSaves(board, dataPath);
    }
    SRV_UnlockBoard(board);
}

// Ends the open board in order (its board thread first, which stops a running
// acquisition and saves the spectra, then its server parameters and
// digitizer record, then the list files it left open) and opens the replay
// of rawDataFile in its place: 0 or -7.
static SRVStatus_t replaceBoard(SRVBoard_t* board, const char* rawDataFile) {
    BoardSource previous = currentSource(board);
    if (SRV_CloseBoard(board) != SRV_SUCCESS || SRV_IsBoardThreadRunning(board)) {
        // The old thread may still use the record: opening it again would race.
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "The board thread did not end. Can't open %s.", rawDataFile);
        return SRV_ERR_OPEN_DIGITIZER;
    }
    for (SRVChannel_t& channel : board->channels)
        SRV_FreeListSave(&channel.listSave);

    SRVStatus_t status = SRV_AddBoard(NULL, rawDataFile);
    if (status == SRV_SUCCESS) {
        std::snprintf(currentReplayFile, sizeof currentReplayFile, "%s", rawDataFile);
    } else {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't replay %s. Opening the previous board again.",
                  rawDataFile);
        if (reopenSource(previous) != SRV_SUCCESS)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open the previous board again.");
        else if (!previous.replay)
            currentReplayFile[0] = '\0';
    }
    if (board->open)
        prepareNewBoard(board);
    return status;
}

SRVStatus_t SRV_LoadRunFile(SRVBoard_t* board, const char* name) {
    // The same rule as command 22: only files of the folder "Run".
    if (!SRV_IsValidRunFileName(name)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Invalid run file name '%s'.", name);
        return SRV_ERR_INVALID_FILE_NAME;
    }
    char path[SRV_PATH_SIZE];
    if (!SRV_RunFilePath(path, name)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "File %s doesn't exist.", path);
        return SRV_ERR_FILE_NOT_FOUND;
    }
    SRVStatus_t opened = SRV_SUCCESS;
    FILE* file = openRunFile(path, &opened);
    if (file == NULL)
        return opened;
    char boardName[SRV_PATH_SIZE];
    char rawDataFile[SRV_PATH_SIZE];
    int words = std::fscanf(file, "%400s %400s", boardName, rawDataFile);
    std::fclose(file);
    // A run file that names no raw-data file (empty, or one word) is refused:
    // answering success would leave the client to take the live board for a
    // replay.
    if (words != 2) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Run file %s names no raw-data file (\"<board> <raw-data file>\" expected).", path);
        return SRV_ERR_FILE_READ;
    }
    // A raw-data file that can't be read leaves the open board alone.
    FILE* rawData = std::fopen(rawDataFile, "rb");
    if (rawData == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open raw-data file %s (%s).", rawDataFile,
                  std::strerror(errno));
        return SRV_ERR_OPEN_DIGITIZER;
    }
    std::fclose(rawData);
    return replaceBoard(board, rawDataFile);
}
