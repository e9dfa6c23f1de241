// The command loop: the command table, and the loop that serves the
// current client's requests one at a time (receive, dispatch, reply).
#include "SRV_CommandLoop.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "SRVRequest.h"
#include "SRV_AcquisitionCommands.h"
#include "SRV_BoardInfo.h"
#include "SRV_ConfigurationManagement.h"
#include "SRV_DTSpectrum.h"
#include "SRV_GainStabilizer.h"
#include "SRV_HVRange.h"
#include "SRV_List.h"
#include "SRV_MCS.h"
#include "SRV_ParameterCommands.h"
#include "SRV_Registers.h"
#include "SRV_SpectrumCommands.h"
#include "SRV_Waveforms.h"

// The loop logs into the server's main log file.
static const c_LogModule_t LOG_MODULE = {"MorvaneServerLog.txt", "MorvaneServer"};
// Command 26 belongs with the board-information commands and logs to their file.
static const c_LogModule_t CONFIG_LOG_MODULE = {"SRV_ConfigurationManagementLog.txt", "SRV_ConfigurationManagement"};

// The command loop waits for a client and for its request in slices of this
// length, so that it keeps looking at the current client.
static const uint32_t LOOP_SLICE_MS = 100;
// Command 26 reads the definitions file in blocks of this size.
static const size_t DEFINITIONS_BLOCK_SIZE = 65536;

// ------------------------------------------------------- command 26

// Sends the server definitions document: header, status 0, the file's bytes.
static void* handleGetServerDefinitions(SRVBoard_t*, SRVCommand_t command, const void*, uint32_t, uint32_t* replySize,
                                        SRVStatus_t* status) {
    const char* path = SRV_Globals != NULL ? c_xml_getpath(SRV_Globals->serverDefinitions) : NULL;
    FILE* file = path != NULL ? std::fopen(path, "r") : NULL;
    if (file == NULL) {
        c_lprintf(&CONFIG_LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't read definitions file from '%s'.",
                  path != NULL ? path : "");
        *status = SRV_ERR_GENERIC;
        return NULL;
    }
    uint8_t* block = static_cast<uint8_t*>(c_malloc(DEFINITIONS_BLOCK_SIZE));
    if (block == NULL) {
        c_lprintf(&CONFIG_LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't allocate tmpBuf.");
        std::fclose(file);
        *status = SRV_ERR_GENERIC;
        return NULL;
    }
    SRVReply reply(command);
    SRVStatus_t result = reply.ok() ? SRV_SUCCESS : SRV_ERR_SERIALIZE;
    while (reply.ok()) {
        size_t count = std::fread(block, 1, DEFINITIONS_BLOCK_SIZE, file);
        if (count > 0)
            reply.u8(block, static_cast<uint32_t>(count));
        if (!reply.ok()) {
            result = SRV_ERR_SERIALIZE;
            break;
        }
        if (count < DEFINITIONS_BLOCK_SIZE) {
            if (!std::feof(file))
                result = SRV_ERR_FILE_READ;
            break;
        }
    }
    std::fclose(file);
    c_free(block);
    *status = result;
    return result == SRV_SUCCESS ? reply.release(replySize) : NULL;
}

// ------------------------------------------------------------ command table

// The commands served, one line each; every other code is unsupported.
static const SRVCommandEntry_t COMMAND_TABLE[] = {
    {SRV_CMD_QUIT, SRV_CmdQuit, NULL},
    {SRV_CMD_START_ACQUISITION, SRV_CmdStartAcquisition, NULL},
    {SRV_CMD_STOP_ACQUISITION, SRV_CmdStopAcquisition, NULL},
    {SRV_CMD_SET_RUN_FILE, SRV_CmdSetRunFile, NULL},
    {SRV_CMD_LOAD_RUN_FILE, SRV_CmdLoadRunFile, NULL},
    {SRV_CMD_LIST_RUN_FILES, SRV_CmdListRunFiles, NULL},
    {SRV_CMD_GET_WAVEFORM, SRV_CmdGetWaveform, NULL},
    {SRV_CMD_GET_ENERGY_SPECTRUM, SRV_CmdGetEnergySpectrum, NULL},
    {SRV_CMD_SET_ENERGY_SPECTRUM, SRV_CmdSetEnergySpectrum, NULL},
    {SRV_CMD_CLEAR_ENERGY_SPECTRUM, SRV_CmdClearEnergySpectrum, NULL},
    {SRV_CMD_GET_ROI, SRV_CmdGetROI, NULL},
    {SRV_CMD_RESET_GAIN_STABILIZER, SRV_CmdResetGainStabilizer, NULL},
    {SRV_CMD_GET_MCS_SPECTRUM, SRV_CmdGetMCSSpectrum, NULL},
    {SRV_CMD_MCS_SWEEP, SRV_CmdMCSSweep, NULL},
    {SRV_CMD_CLEAR_MCS_SPECTRUM, SRV_CmdClearMCSSpectrum, NULL},
    {SRV_CMD_GET_DT_SPECTRUM, SRV_CmdGetDTSpectrum, NULL},
    {SRV_CMD_SET_DT_SPECTRUM, SRV_CmdSetDTSpectrum, NULL},
    {SRV_CMD_CLEAR_DT_SPECTRUM, SRV_CmdClearDTSpectrum, NULL},
    {SRV_CMD_SET_LIST_PARAMS, SRV_CmdSetListParams, NULL},
    {SRV_CMD_GET_LIST_PARAMS, SRV_CmdGetListParams, NULL},
    {SRV_CMD_GET_BOARD_INFO, SRV_CmdGetBoardInfo, NULL},
    {SRV_CMD_WRITE_REGISTER, SRV_CmdWriteRegister, NULL},
    {SRV_CMD_READ_REGISTER, SRV_CmdReadRegister, NULL},
    {SRV_CMD_SET_PARAMETER, SRV_CmdSetParameter, NULL},
    {SRV_CMD_GET_PARAMETER, SRV_CmdGetParameter, NULL},
    {SRV_CMD_GET_PARAMETER_INFO, SRV_CmdGetParameterInfo, NULL},
    {SRV_CMD_START_AUTOSET, SRV_CmdStartAutoSet, NULL},
    {SRV_CMD_STOP_AUTOSET, SRV_CmdStopAutoSet, NULL},
    {SRV_CMD_GET_CHANNEL_SPECTRA_COUNT, SRV_CmdGetChannelSpectraCount, NULL},
    {SRV_CMD_SAMPLE_ADVANCE, SRV_CmdSampleAdvance, NULL},
    {SRV_CMD_DATETIME, SRV_CmdDateTime, NULL},
    {SRV_CMD_SAVE_CONFIGURATION, NULL, SRV_CmdSaveConfiguration},
    {SRV_CMD_LOAD_CONFIGURATION, NULL, SRV_CmdLoadConfiguration},
    {SRV_CMD_LIST_CONFIGURATIONS, NULL, SRV_CmdListConfigurations},
    {SRV_CMD_DELETE_CONFIGURATION, NULL, SRV_CmdDeleteConfiguration},
    {SRV_CMD_DATABASE_PATH, NULL, SRV_CmdDatabasePath},
    {SRV_CMD_GET_SERVER_DEFINITIONS, handleGetServerDefinitions, NULL},
    {SRV_CMD_GET_HV_CHANNEL_INFO, SRV_CmdGetHVChannelInfo, NULL},
    {SRV_CMD_GET_HV_RANGE_INFO, SRV_CmdGetHVRangeInfo, NULL},
    {SRV_CMD_HV_ON, SRV_CmdHVOn, NULL},
    {SRV_CMD_HV_OFF, SRV_CmdHVOff, NULL},
    {SRV_CMD_HV_ONOFF, SRV_CmdHVOnOff, NULL},
};

const SRVCommandEntry_t* SRV_CommandTable(size_t* count) {
    *count = sizeof COMMAND_TABLE / sizeof COMMAND_TABLE[0];
    return COMMAND_TABLE;
}

const SRVCommandEntry_t* SRV_FindCommand(SRVCommand_t code) {
    for (const SRVCommandEntry_t& entry : COMMAND_TABLE)
        if (entry.code == code)
            return &entry;
    return NULL;
}

// ------------------------------------------------------------ command loop

// Waits until the client's socket has data: true when a request can be read.
static bool waitForRequest(c_socket_t* client) {
    struct pollfd request;
    request.fd = c_socket_fd(client);
    request.events = POLLIN;
    request.revents = 0;
    int ready = poll(&request, 1, static_cast<int>(LOOP_SLICE_MS));
    if (ready == 0)
        return false;
    if (ready < 0) {
        if (errno != EINTR)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "'select' ERROR. Will wait for a new connection.");
        return false;
    }
    if ((request.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "select() returned but readmask is not set.");
        return false;
    }
    return true;
}

bool SRV_ServeRequest(SRVConnection_t* connection, c_socket_t* client, SRVBoard_t* board,
                      char databasePath[SRV_PATH_SIZE]) {
    uint16_t command = 0;
    uint32_t payloadSize = 0;
    // A failed receive is the NULL payload; the code may be anything, 0xFFFF
    // included, and an unknown one is answered like every other.
    void* payload = c_recv_packet(client, &command, &payloadSize);
    if (payload == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Error receiving packet.");
        SRV_HandleClientDisconnection(client, connection);
        return false;
    }
    c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Received command %hu.", command);

    SRVStatus_t status = SRV_ERR_INVALID_COMMAND;
    uint32_t replySize = 0;
    void* reply = NULL;
    const SRVCommandEntry_t* entry = SRV_FindCommand(command);
    if (entry == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Unsupported command %hu.", command);
    } else {
        // No handler runs on a closed board record: its locks are gone.
        status = SRV_CheckBoardOpen(board, command);
        if (status == SRV_SUCCESS && entry->databaseHandler != NULL)
            reply = entry->databaseHandler(board, command, payload, payloadSize, &replySize, &status, databasePath);
        else if (status == SRV_SUCCESS)
            reply = entry->handler(board, command, payload, payloadSize, &replySize, &status);
    }
    if (reply == NULL)
        reply = SRV_BuildStatusReply(command, status, &replySize);
    if (reply == NULL) {
        c_free(payload);
        return false;
    }
    if (status != SRV_SUCCESS)
        SRV_LogServerError(status);
    if (c_send(client, reply, replySize) < static_cast<int64_t>(replySize))
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "c_send() failed.");
    c_free(reply);
    c_free(payload);
    return command == SRV_CMD_QUIT && status == SRV_SUCCESS;
}

void SRV_RunCommandLoop(SRVConnection_t* connection, SRVBoard_t* board, char databasePath[SRV_PATH_SIZE]) {
    bool quit = false;
    while (!quit) {
        c_socket_t* client = SRV_AcquireClient(connection, LOOP_SLICE_MS);
        if (client == NULL)
            continue;
        // A client replaced while the loop waited is not read any more.
        if (waitForRequest(client) && SRV_IsCurrentClient(connection, client))
            quit = SRV_ServeRequest(connection, client, board, databasePath);
        SRV_ReleaseClient(connection, client);
    }
}
