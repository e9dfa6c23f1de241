// The command table, built from the rows of SRV_Commands.def.
#include "SRV_CommandTable.h"

#include "SRVParameters.h"
#include "SRV_DTSpectrum.h"
#include "SRV_MCS.h"
#include "SRV_ParameterCommands.h"
#include "SRV_Spectra.h"

namespace {

// ------------------------------------------------------- what rows say

// The logs of the modules that serve the commands: a refused mask bit is
// logged in the log of its command's module.
const c_LogModule_t ACQUISITION_LOG = {"SRVAcquisitionControlLog.txt", "SRV_AcquisitionControl"};
const c_LogModule_t CONFIGURATION_LOG = {"SRV_ConfigurationManagementLog.txt", "SRV_ConfigurationManagement"};
const c_LogModule_t DT_LOG = {"SRV_DTSpectrumLog.txt", "SRV_DTSpectrum"};
const c_LogModule_t HV_LOG = {"SRV_HVRange.txt", "SRV_HVRange"};
const c_LogModule_t LIST_LOG = {"SRV_ListLog.txt", "SRV_List"};
const c_LogModule_t MCS_LOG = {"SRV_MCSLog.txt", "SRV_MCS"};
const c_LogModule_t PARAMETERS_LOG = {"SRVParametersLog.txt", "SRVParameters"};
const c_LogModule_t REGISTERS_LOG = {"SRV_RegistersLog.txt", "SRV_Registers"};
const c_LogModule_t SPECTRA_LOG = {"SRV_SpectraLog.txt", "SRV_Spectra"};
const c_LogModule_t WAVEFORMS_LOG = {"SRV_WaveformsLog.txt", "SRV_Waveforms"};

constexpr bool BOARD = true;
constexpr bool NO_BOARD = false;
constexpr SRVRequestForm_t OWN = SRV_FORM_OWN;
constexpr SRVRequestForm_t M = SRV_FORM_MASKS;
constexpr SRVRequestForm_t D = SRV_FORM_DATA;
constexpr SRVRequestObject_t NONE = SRV_OBJECT_NONE;
constexpr SRVRequestObject_t CHANNEL = SRV_OBJECT_CHANNEL;
constexpr SRVRequestObject_t CHANNEL_MASK = SRV_OBJECT_CHANNEL_MASK;
constexpr SRVRequestObject_t PATH = SRV_OBJECT_PATH;
constexpr uint64_t ANY = SRV_MASK_ANY;
constexpr uint32_t LOCKED = SRV_OPEN_LOCKED;
constexpr uint32_t REFUSE_FIRST = SRV_OPEN_REFUSE_FIRST;
constexpr uint32_t IN_WORDS = SRV_OPEN_IN_WORDS;
constexpr uint32_t OWN_IN_CHECK = SRV_OPEN_OWN_IN_CHECK;
constexpr uint32_t FIND_LATER = SRV_OPEN_FIND_LATER;
constexpr SRVObjectFinder_t NO_FINDER = nullptr;

// A finder of the table: the lookup of one object type, its object handed
// over untyped.
template <class Object, auto lookup>
SRVStatus_t findObject(SRVBoard_t* board, const int32_t* path, uint32_t length, void** object) {
    Object* found = nullptr;
    SRVStatus_t result = static_cast<SRVStatus_t>(lookup(board, path, length, &found));
    *object = found;
    return result;
}
#define FIND(Object, lookup) findObject<Object, lookup>

const SRVCommandEntry_t COMMAND_TABLE[] = {
#define SRV_COMMAND(code, name, handler, board, form, object, in, out, opening, finder, log) \
    {code, #name, board, form, object, in, out, opening, finder, &log, handler},
#include "SRV_Commands.def"
#undef SRV_COMMAND
};

#undef FIND

} // namespace

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
