/*
 * ZarnBoard_Vesk: setup of the Vesk family and its probe tables (its
 * decoders are in ZarnBoard_Vesk_Decode.cpp).
 */
#include "ZarnBoard_Vesk.h"

#include "ZarnFamilyRows.h"
#include "ZarnFamilySupport.h"
#include "ZarnParameters.h"
#include "ZarnRecordQueries.h"

static const c_LogModule_t ZarnBoard_Vesk_log = {"ZarnBoard_VeskLog.txt", "ZarnBoard_Vesk"};

#define BLOG(digitizer, level, ...) c_extendedLogMsg(&ZarnBoard_Vesk_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr int32_t kProbeTableA[8] = {19, 20, 21, 13, 23, 22, -1, -1};
constexpr int32_t kProbeTableB[8] = {25, 20, 16, 15, 23, 22, -1, -1};

} // namespace

int32_t VESK_DigitalProbeCodeA(uint32_t selector) { return selector < 8 ? kProbeTableA[selector] : -1; }

int32_t VESK_DigitalProbeCodeB(uint32_t selector) { return selector < 8 ? kProbeTableB[selector] : -1; }

int VESK_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_InitChannelDescriptor(&ZarnBoard_Vesk_log, d, 128, 4.0);
    if (code != 0)
        return code;
    c_BoardDescriptor_t* desc = &d->descriptor;
    desc->AnalogVTraces = 2;
    desc->DigitalVTraces = 4;
    desc->HVChannels = ZarnFamily_Find(desc->FamilyCode)->hvChannels;
    /* Every range must be defined, although only the PMT range is used. */
    GENERIC_HVRanges_t ranges;
    code = GENERIC_FindHVRanges(&ZarnBoard_Vesk_log, d, &ranges);
    for (uint32_t i = 0; code == 0 && i < desc->HVChannels; ++i)
        code = GENERIC_InitHVChannel(&ZarnBoard_Vesk_log, d, i, ranges.pmt, 1);
    return code;
}

int VESK_InitDPPPSD(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_ReadMemorySize(&ZarnBoard_Vesk_log, d, &GENERIC_kMemoryCodes130To135);
    if (code != 0)
        return code;
    c_BoardDescriptor_t* desc = &d->descriptor;
    setTypeName(d, "DPP-PSD");
    desc->EnergyBits = 15;
    desc->TimeTagBits = 32;
    code = VESK_InitBoard(d);
    if (code != 0)
        return code;
    code = GENERIC_LoadParameters(d);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Can't load the parameters of the board (loader error %i).", code);
        return DPPL_ERR_PARAMETER;
    }
    return ZarnFamily_Find(desc->FamilyCode)->clearsChannelZeroEnables
               ? GENERIC_ClearChannelZeroEnableBits(&ZarnBoard_Vesk_log, d)
               : 0;
}
