// The run files: their names, their folder "Run", the run file a start
// writes, and the load of one, which replaces the board by a replay.
#include "SRV_RunFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "SRVBoardThread.h"
#include "SRVParameters.h"
#include "SRV_AcquisitionControl.h"
#include "SRV_BoardIdentity.h"
#include "SRV_BoardLifecycle.h"
#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_List.h"
#include "SRV_RunFailures.h"
#include "SRV_Spectra.h"
#include "ZarnROBuffDumper.h"

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

// Opens the folder "Run" where it led at the start, following no link: its
// descriptor, or -1 with the status: -30 (a link put in its place since) or
// -17.
static int openRunFolder(SRVStatus_t* status) {
    int folder = -1;
    *status = SRV_OpenServerFolder(&LOG_MODULE, "Run folder", SRV_RUN_FOLDER, &folder);
    if (*status != SRV_SUCCESS && *status != SRV_ERR_INVALID_FILE_NAME) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open folder %s.", SRV_RUN_FOLDER);
        *status = SRV_ERR_RESOURCE;
    }
    return folder;
}

SRVStatus_t SRV_ListRunFiles(char names[SRV_RUN_FILES_MAX][SRV_RUN_FILE_NAME_SIZE], int32_t* count) {
    *count = 0;
    SRVStatus_t status = SRV_SUCCESS;
    int fd = openRunFolder(&status);
    DIR* folder = fd >= 0 ? fdopendir(fd) : NULL;
    if (folder == NULL) {
        if (fd >= 0) {
            close(fd);
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open folder %s.", SRV_RUN_FOLDER);
            status = SRV_ERR_RESOURCE;
        }
        return status;
    }
    // Only the run files that command 23 can open: regular files, no links,
    // names that fit.
    const struct dirent* entry;
    while (*count < SRV_RUN_FILES_MAX && (entry = readdir(folder)) != NULL) {
        struct stat info;
        size_t length = strnlen(entry->d_name, SRV_RUN_FILE_NAME_SIZE);
        if (length >= SRV_RUN_FILE_NAME_SIZE || !hasRunFileEnding(entry->d_name) ||
            fstatat(dirfd(folder), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        std::memcpy(names[*count], entry->d_name, length + 1);
        (*count)++;
    }
    closedir(folder);
    return SRV_SUCCESS;
}

// ------------------------------------------------------- loading a run file

// A raw-data file that a run file names, opened inside the working folder
// following no link: the library opens it again by the descriptor's name, so
// that it replays the very file that was judged.
struct RawDataFile {
    int fd = -1;
    char libraryPath[64] = "";

    ~RawDataFile() {
        if (fd >= 0)
            close(fd);
    }
};

// Opens the raw-data file of a replay: 0; -30 when its path leads outside
// the working folder, a folder on its way is a link, or a link stands in its
// place; -7 when it can't be opened.
static SRVStatus_t openRawDataFile(const char* path, RawDataFile* file) {
    SRVClientFile_t folder;
    SRVStatus_t status = SRV_OpenClientFolder(&LOG_MODULE, "Raw-data file", path, false, false, &folder);
    if (status == SRV_SUCCESS)
        file->fd = SRV_OpenClientFile(&folder);
    int error = errno;
    SRV_CloseClientFolder(&folder);
    if (status == SRV_ERR_INVALID_FILE_NAME)
        return status;
    if (file->fd < 0 && status == SRV_SUCCESS && error == ELOOP) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Raw-data file '%s' is a link: refused.", path);
        return SRV_ERR_INVALID_FILE_NAME;
    }
    if (file->fd < 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open raw-data file %s (%s).", path,
                  std::strerror(status == SRV_SUCCESS ? error : errno));
        return SRV_ERR_OPEN_DIGITIZER;
    }
    std::snprintf(file->libraryPath, sizeof file->libraryPath, "/proc/self/fd/%d", file->fd);
    return SRV_SUCCESS;
}

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

// Opens the replay of a raw-data file as the board: 0, -30 or -7.
static SRVStatus_t openReplay(const char* rawDataFile) {
    RawDataFile file;
    SRVStatus_t status = openRawDataFile(rawDataFile, &file);
    if (status != SRV_SUCCESS)
        return status;
    c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Replaying raw-data file %s.", rawDataFile);
    return SRV_AddBoard(NULL, file.libraryPath);
}

static SRVStatus_t reopenSource(const BoardSource& source) {
    if (source.replay)
        return openReplay(source.rawDataFile);
    return SRV_AddBoard(&source.connParams, NULL);
}

// What the start-up does after the board open, for the board that was just
// opened in place: its spectrum files and list-mode defaults, in its own data
// folder. 0, or the failure of a spectrum file that can't be loaded (then
// no spectrum is loaded).
static SRVStatus_t prepareNewBoard(SRVBoard_t* board) {
    char dataPath[SRV_FOLDER_SIZE];
    SRVStatus_t status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS)
        return status;
    status = SRV_GetBoardDataPath(board, dataPath);
    if (status == SRV_SUCCESS) {
        if (c_mkdirp(dataPath) != 0)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't create folder '%s.'", dataPath);
        SRVFileFailure_t failure;
        status = SRV_LoadReplaySpectrumFiles(board, dataPath, &LOG_MODULE, &failure);
        SRV_InitListSaves(board, dataPath);
    }
    SRVStatus_t unlocked = SRV_UnlockBoard(board);
    return status != SRV_SUCCESS ? status : unlocked;
}

// Ends the open board in order (its board thread first, which stops a running
// acquisition and saves the spectra, then its server parameters and
// digitizer record, then the list files it left open) and opens the replay
// of rawDataFile in its place: 0, -30, -7, or the failure of a spectrum file
// of the replay that could not be loaded after all (the replay stays open,
// with no spectrum loaded).
static SRVStatus_t replaceBoard(SRVBoard_t* board, const char* rawDataFile) {
    BoardSource previous = currentSource(board);
    if (SRV_CloseBoard(board) != SRV_SUCCESS || SRV_IsBoardThreadRunning(board)) {
        // The old thread may still use the record: opening it again would race.
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "The board thread did not end. Can't open %s.", rawDataFile);
        return SRV_ERR_OPEN_DIGITIZER;
    }
    SRV_FreeListSaves(board);
    // The failures of the closed board's runs that no client was told of
    // belong to it: no command to the replay answers them, the server's end
    // tells them.
    SRV_LeaveRunFailuresToEnd(&board->runFailures);

    SRVStatus_t status = openReplay(rawDataFile);
    if (status == SRV_SUCCESS) {
        std::snprintf(currentReplayFile, sizeof currentReplayFile, "%s", rawDataFile);
        // The library opened the file by its descriptor's name: the replay's
        // messages name the file the run file names instead. The field is
        // shorter than a run file's path: a longer path is named by its
        // first characters only (the replay itself reads by the descriptor).
        c_ROBuffDumper_t* reader = &board->digitizer.reader;
        std::snprintf(reader->fileName, sizeof reader->fileName, "%.*s", static_cast<int>(sizeof reader->fileName - 1),
                      rawDataFile);
    } else {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't replay %s. Opening the previous board again.",
                  rawDataFile);
        if (reopenSource(previous) != SRV_SUCCESS)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't open the previous board again.");
        else if (!previous.replay)
            currentReplayFile[0] = '\0';
    }
    if (board->open) {
        SRVStatus_t prepared = prepareNewBoard(board);
        if (status == SRV_SUCCESS)
            status = prepared;
    }
    return status;
}

// The recording's board as its header gives it (the descriptor), read
// without opening the replay: 0 or -7.
static SRVStatus_t readRecordedBoard(const RawDataFile& file, const char* path, c_BoardDescriptor_t* descriptor) {
    c_ROBuffDumper_t reader;
    c_RawDataHeader_t header;
    std::memset(&reader, 0, sizeof reader);
    std::memset(&header, 0, sizeof header);
    int result = c_bdopenr(&reader, &header, file.libraryPath);
    if (result == 0)
        *descriptor = header.descriptor;
    c_bdclose(&reader);
    c_bdfreeheader(&header);
    if (result != 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't read the header of raw-data file %s (error %i).", path,
                  result);
        return SRV_ERR_OPEN_DIGITIZER;
    }
    return SRV_SUCCESS;
}

// Whether the replay's spectrum files can all be loaded, before anything
// changes: 0, or the failure of the first that can't, logged with the file.
static SRVStatus_t checkReplaySpectra(const c_BoardDescriptor_t* recorded, const char* runFile) {
    char dataPath[SRV_FOLDER_SIZE];
    if (!SRV_FormatDataPath(recorded, dataPath)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "The data folder of run file %s is too long.", runFile);
        return SRV_ERR_OPEN_DIGITIZER;
    }
    uint32_t most = SRV_MAX_CHANNELS < DPPL_MAX_CHANNELS ? SRV_MAX_CHANNELS : DPPL_MAX_CHANNELS;
    uint32_t channels = recorded->NumChannels < most ? recorded->NumChannels : most;
    SRVFileFailure_t failure;
    SRVStatus_t status = SRV_CheckSpectrumFiles(dataPath, channels, &failure);
    if (status != SRV_SUCCESS)
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Spectrum file %s %s: run file %s is not loaded, the board is left as it was (status %hi).",
                  failure.path, failure.reason, runFile, static_cast<short>(status));
    return status;
}

// Writes the open board's spectra into their files before it is closed, so
// that a file that can't be written leaves the board open with its spectra:
// a running acquisition is stopped first (the close would stop it), so that
// the files get the run's final counts. 0, the stop's failure, or the status
// of the first file that could not be written (each logged with the file).
static SRVStatus_t saveLiveSpectra(SRVBoard_t* board, const char* runFile) {
    if (!board->open)
        return SRV_SUCCESS;
    SRVStatus_t status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS)
        return status;
    bool acquiring = SRV_IsAcquiring(board->digitizer.acqStatus);
    for (uint32_t channel = 0; channel < SRV_ChannelCount(board); channel++)
        acquiring = acquiring || SRV_IsAcquiring(board->digitizer.channels[channel].acqStatus);
    if (acquiring) {
        board->channelMask = SRV_ChannelCount(board) >= 32 ? 0xFFFFFFFFu : (1u << SRV_ChannelCount(board)) - 1u;
        status = SRV_SendThreadCommand(board, SRV_THREAD_CMD_STOP);
        if (status == SRV_ERR_LOCK)
            return status;
        SRV_SettleCommandFailures(&board->runFailures, status); // command 23 answers its stop's failure
        if (status != SRV_SUCCESS)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                      "The acquisition's stop answered %hi: run file %s is not loaded, the board is left open.",
                      static_cast<short>(status), runFile);
    }
    if (status == SRV_SUCCESS)
        status = SRV_SaveEnergySpectra(board);
    if (status != SRV_SUCCESS)
        for (const SRVChannel_t& channel : board->channels) {
            const SRVFileFailure_t* failure = &channel.spectrumSaveFailure;
            if (failure->status != SRV_SUCCESS)
                c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                          "Spectrum file %s %s: run file %s is not loaded, the board stays open with its spectra "
                          "(status %hi).",
                          failure->path, failure->reason, runFile, static_cast<short>(failure->status));
        }
    SRVStatus_t unlocked = SRV_UnlockBoard(board);
    return status != SRV_SUCCESS ? status : unlocked;
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
    // Everything that can fail without touching the open board is tried
    // first: the raw-data file, its header, the replay's spectrum files and
    // the live spectra's saves. Any failure leaves the board as it was.
    c_BoardDescriptor_t recorded;
    SRVStatus_t status;
    {
        RawDataFile rawData;
        status = openRawDataFile(rawDataFile, &rawData);
        if (status == SRV_SUCCESS)
            status = readRecordedBoard(rawData, rawDataFile, &recorded);
    }
    if (status == SRV_SUCCESS)
        status = saveLiveSpectra(board, name);
    if (status == SRV_SUCCESS)
        status = checkReplaySpectra(&recorded, name);
    if (status != SRV_SUCCESS)
        return status;
    return replaceBoard(board, rawDataFile);
}
