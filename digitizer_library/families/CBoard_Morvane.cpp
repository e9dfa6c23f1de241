/*
 * CBoard_Morvane: the register-level device (family 8560, DPP code 142).
 *
 * Device table, open and close, the record's board open, event and aggregate
 * sizes, the channel commands, the real-time and dead-time sums and the
 * record-level acquisition commands. The flash pages and the calibration are
 * in CBoard_Morvane_Flash, the read and the decoder in CBoard_Morvane_Read;
 * every piece logs to "CBoard_MorvaneLog.txt" under its own source name.
 */
#include "CBoard_Morvane.h"

#include <stdio.h>
#include <string.h>

#include "CBoard_MorvaneShared.h"
#include "ZarnComm.h"
#include "ZarnFamilySupport.h"
#include "ZarnParameters.h"
#include "ZarnRecordQueries.h"

static const c_LogModule_t CBoard_Morvane_log = {"CBoard_MorvaneLog.txt", "CBoard_Morvane"};

#define PLOG(level, ...)            c_lprintf(&CBoard_Morvane_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) c_extendedLogMsg(&CBoard_Morvane_log, (digitizer), (level), __LINE__, __VA_ARGS__)

using morvane::freeCalibration;
using morvane::loadCoarseDCO;
using morvane::slotOf;
using morvane::sumsOf;

namespace {

constexpr uint32_t kRegBoardConfig = 0x8000;
constexpr uint32_t kRegBoardClear = 0x8018;
constexpr uint32_t kRegBoardRun = 0x802C;
constexpr uint32_t kRegEventsPerAggregate = 0x8134;
constexpr uint32_t kRegWaveformLength = 0x1020;
constexpr uint32_t kChClear = 0x1018;
constexpr uint32_t kChRun = 0x102C;
constexpr uint32_t kChConfig = 0x1030;
constexpr uint32_t kChSwTrigger = 0x10C0;

/* --------------------------------------------------------- device table */

/* Slots are allocated one by one and the table holds their pointers, so a
 * growing table never moves a slot (and its ticket locks) in memory. */
c_MorvaneDevice_t** gSlots = NULL;
uint32_t gSlotCount = 0;
uint32_t gOpenCount = 0;

void deleteSlot(c_MorvaneDevice_t* dev) {
    for (int h = 0; h < MORVANE_HV_CHANNELS; ++h)
        freeCalibration(&dev->hv[h]);
    for (int c = 0; c < MORVANE_CHANNELS; ++c)
        c_ticket_delete(&dev->channels[c].lock);
    memset(dev, 0, sizeof *dev);
}

/* Takes a free slot, or grows the table by one: its index, or -2 / -22. */
int takeSlot() {
    if (gOpenCount < gSlotCount) {
        for (uint32_t i = 0; i < gSlotCount; ++i)
            if (gSlots[i] != NULL && gSlots[i]->inUse == 0)
                return (int)i;
        return MORVANE_ERR_CALIBRATION;
    }
    c_MorvaneDevice_t* dev = (c_MorvaneDevice_t*)c_calloc(1, sizeof *dev);
    c_MorvaneDevice_t** grown =
        dev != NULL ? (c_MorvaneDevice_t**)c_realloc(gSlots, (gSlotCount + 1) * sizeof *gSlots) : NULL;
    if (grown == NULL) {
        c_free(dev);
        return MORVANE_ERR_OUT_OF_MEMORY;
    }
    gSlots = grown;
    gSlots[gSlotCount] = dev;
    return (int)gSlotCount++;
}

void freeTableWhenEmpty() {
    if (gOpenCount != 0)
        return;
    for (uint32_t i = 0; i < gSlotCount; ++i)
        c_free(gSlots[i]);
    c_free(gSlots);
    gSlots = NULL;
    gSlotCount = 0;
}

/* ------------------------------------------------------ register access */

int writeRegister(int slot, uint32_t address, uint32_t value) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    return ZarnComm_Write32(dev->commHandle, address, value) == 0 ? 0 : MORVANE_ERR_WRITE_REGISTER;
}

int channelCommand(int slot, uint32_t channel, uint32_t offset, uint32_t value) {
    if (slotOf(slot) == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (channel > 2)
        return MORVANE_ERR_INVALID_CHANNEL;
    return writeRegister(slot, (channel << 8) | offset, value);
}

} // namespace

namespace morvane {

c_MorvaneDevice_t* slotOf(int slot) {
    if (slot < 0 || (uint32_t)slot >= gSlotCount || gSlots[slot] == NULL || gSlots[slot]->inUse != 1)
        return NULL;
    return gSlots[slot];
}

/* The channel record holding a channel's time sums (channels 0 and 1). */
int sumsOf(int slot, uint32_t channel, c_MorvaneChannel_t** out) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (channel >= MORVANE_CHANNELS)
        return MORVANE_ERR_INVALID_CHANNEL;
    *out = &dev->channels[channel];
    return 0;
}

} // namespace morvane

extern "C" {

/* ========================================================= device table */

int XMOR_DGTZ_OpenDigitizer(int* slot) {
    if (slot == NULL)
        return MORVANE_ERR_CALIBRATION;
    int link = 0;
    int32_t handle = -1;
    if (ZarnComm_OpenLink(0, &link, 0, 0, &handle) != 0)
        return MORVANE_ERR_LINK_OPEN;
    int index = takeSlot();
    if (index < 0) {
        ZarnComm_CloseLink(handle);
        return index;
    }
    c_MorvaneDevice_t* dev = gSlots[index];
    memset(dev, 0, sizeof *dev);
    for (int c = 0; c < MORVANE_CHANNELS; ++c)
        c_ticket_init(&dev->channels[c].lock);
    gOpenCount++;
    dev->inUse = 1;
    dev->commHandle = handle;
    snprintf(dev->name, sizeof dev->name, "%s", "Morvane");
    int code = MORVANE_LoadHVCalibration(index);
    if (code == 0)
        code = loadCoarseDCO(dev);
    if (code != 0) {
        XMOR_DGTZ_CloseDigitizer(index);
        return code;
    }
    *slot = index;
    return 0;
}

int XMOR_DGTZ_CloseDigitizer(int slot) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    for (int h = 0; h < MORVANE_HV_CHANNELS; ++h)
        freeCalibration(&dev->hv[h]);
    if (ZarnComm_CloseLink(dev->commHandle) != 0)
        return MORVANE_ERR_CALIBRATION;
    deleteSlot(dev);
    gOpenCount--;
    freeTableWhenEmpty();
    return 0;
}

c_MorvaneDevice_t* XMOR_GetDevice(int slot) { return slotOf(slot); }

uint32_t XMOR_GetSlotCount(void) { return gSlotCount; }

int XMOR_GetCommHandle(int slot, int32_t* handle) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL || handle == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    *handle = dev->commHandle;
    return 0;
}

/* ========================================================= record open */

int MORVANE_OpenRecordDevice(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    memset(&d->connParams, 0, sizeof d->connParams);
    d->handle = -1;
    int slot = -1;
    int code = XMOR_DGTZ_OpenDigitizer(&slot);
    if (code != 0)
        return code;
    d->handle = slot;
    /* Known as the device from here on, so that every later failure closes
     * the device slot and nothing else. */
    d->descriptor.FamilyCode = DPPL_FAMILY_MORVANE;
    d->descriptor.CommHandle = gSlots[slot]->commHandle;
    return 0;
}

void MORVANE_CloseRecordDevice(c_Digitizer_t* d) {
    if (d == NULL)
        return;
    for (int ch = 0; ch < DPPL_MAX_CHANNELS; ++ch) {
        c_free(d->channels[ch].coarseDCO);
        d->channels[ch].coarseDCO = NULL;
    }
    XMOR_DGTZ_CloseDigitizer(d->handle);
}

int MORVANE_PrepareRecord(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_MorvaneDevice_t* dev = slotOf(d->handle);
    int code = dev != NULL ? MORVANE_FillHVData(d) : MORVANE_ERR_INVALID_SLOT;
    if (code != 0) {
        PLOG(C_LOG_ERROR, "Fill DPPL HV data error: %i", code);
        MORVANE_CloseRecordDevice(d);
        return DPPL_ERR_DIGITIZER_API;
    }
    for (uint32_t ch = 0; ch < dev->dcoChannels && ch < MORVANE_CHANNELS; ++ch) {
        c_CoarseDCOTable_t* table = (c_CoarseDCOTable_t*)c_calloc(1, sizeof *table);
        if (table == NULL) {
            PLOG(C_LOG_ERROR, "Fill DPPL Coarse Gains data error: %i", MORVANE_ERR_OUT_OF_MEMORY);
            MORVANE_CloseRecordDevice(d);
            return DPPL_ERR_DIGITIZER_API;
        }
        for (int k = 0; k < MORVANE_DCO_ENTRIES; ++k) {
            table->entries[k].value = (uint32_t)dev->channels[ch].coarseDCO[k][0];
            table->entries[k].zeroOffset = (uint32_t)dev->channels[ch].coarseDCO[k][1];
        }
        c_free(d->channels[ch].coarseDCO);
        d->channels[ch].coarseDCO = table;
    }
    return 0;
}

int MORVANE_ReadBoardInformation(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_MorvaneBoardInfo_t info;
    int code = XMOR_DGTZ_GetInfo(d->handle, &info);
    if (code != 0) {
        PLOG(C_LOG_ERROR, "Error in ZARN_DGTZ_GetInfo: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    c_BoardDescriptor_t* desc = &d->descriptor;
    memset(desc->ModelName, 0, sizeof desc->ModelName);
    memcpy(desc->ModelName, info.modelName, sizeof desc->ModelName);
    desc->Model = info.modelNumber;
    desc->Channels = info.channels;
    desc->FormFactor = info.formFactor;
    desc->FamilyCode = info.familyCode;
    memset(desc->BoardFirmwareRel, 0, sizeof desc->BoardFirmwareRel);
    snprintf(desc->BoardFirmwareRel, sizeof desc->BoardFirmwareRel, "%s", "NOT PRESENT");
    memcpy(desc->ChannelFirmwareRel, info.channelFirmwareRel, sizeof desc->ChannelFirmwareRel);
    desc->SerialNumber = info.serialNumber;
    desc->InfoWord = info.infoWord;
    desc->ADC_NBits = info.adcBits;
    desc->CommHandle = info.commHandle;
    desc->LinkInfo = (uint32_t)info.linkInfo;
    memset(desc->Unused1, 0, sizeof desc->Unused1);
    desc->Unused2 = 0;
    clearReservedFields(desc);
    return 0;
}

/* ================================================================ sizes */

int XMOR_DGTZ_GetEventSize(int slot, uint32_t channel, uint32_t* bytes) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    uint32_t config = 0, chConfig = 0, length = 0;
    if (ZarnComm_Read32(dev->commHandle, kRegBoardConfig, &config) != 0)
        return MORVANE_ERR_READ_REGISTER;
    if (channel > 2)
        return MORVANE_ERR_INVALID_CHANNEL;
    if (ZarnComm_Read32(dev->commHandle, kChConfig | (channel << 8), &chConfig) != 0)
        return MORVANE_ERR_READ_REGISTER;
    if ((chConfig & 0x8) == 0) {
        *bytes = 0;
        return 0;
    }
    uint32_t size = 12;
    if (config & (1u << 16)) {
        if (ZarnComm_Read32(dev->commHandle, kRegWaveformLength, &length) != 0)
            return MORVANE_ERR_READ_REGISTER;
        size += 4 * length;
    }
    *bytes = size;
    return 0;
}

int XMOR_DGTZ_GetAggregateSize(int slot, uint32_t* bytes) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (bytes == NULL)
        return MORVANE_ERR_READ_REGISTER;
    uint32_t config = 0, perAggregate = 1;
    if (ZarnComm_Read32(dev->commHandle, kRegBoardConfig, &config) != 0)
        return MORVANE_ERR_READ_REGISTER;
    if ((config & (1u << 16)) == 0 && ZarnComm_Read32(dev->commHandle, kRegEventsPerAggregate, &perAggregate) != 0)
        return MORVANE_ERR_READ_REGISTER;
    uint64_t total = 16;
    for (uint32_t ch = 0; ch < MORVANE_CHANNELS; ++ch) {
        uint32_t eventBytes = 0;
        int code = XMOR_DGTZ_GetEventSize(slot, ch, &eventBytes);
        if (code != 0)
            return code;
        if (eventBytes != 0)
            total += 8 + (uint64_t)eventBytes * perAggregate;
    }
    *bytes = total > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)total;
    return 0;
}

/* ===================================================== channel commands */

int XMOR_DGTZ_StopChannelAcquisition(int slot, uint32_t channel) { return channelCommand(slot, channel, kChRun, 0); }
int XMOR_DGTZ_StartChannelAcquisition(int slot, uint32_t channel) { return channelCommand(slot, channel, kChRun, 1); }
int XMOR_DGTZ_ClearChannelData(int slot, uint32_t channel) { return channelCommand(slot, channel, kChClear, 1); }
int XMOR_DGTZ_SendChannelSWTrigger(int slot, uint32_t channel) {
    return channelCommand(slot, channel, kChSwTrigger, 1);
}

int XMOR_DGTZ_StartAcquisition(int slot) {
    if (slotOf(slot) == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    for (uint32_t ch = 0; ch < MORVANE_CHANNELS; ++ch)
        XMOR_ClearTimeSums(slot, ch);
    return writeRegister(slot, kRegBoardRun, 1);
}
int XMOR_DGTZ_StopAcquisition(int slot) { return writeRegister(slot, kRegBoardRun, 0); }
int XMOR_DGTZ_ClearData(int slot) { return writeRegister(slot, kRegBoardClear, 1); }

int XMOR_DGTZ_SendSWTrigger(int slot) {
    for (uint32_t ch = 0; ch < MORVANE_CHANNELS; ++ch) {
        int code = XMOR_DGTZ_SendChannelSWTrigger(slot, ch);
        if (code != 0)
            return code;
    }
    return 0;
}

int XMOR_ClearTimeSums(int slot, uint32_t channel) {
    c_MorvaneChannel_t* sums = NULL;
    int code = sumsOf(slot, channel, &sums);
    if (code != 0)
        return code;
    c_ticket_lock(&sums->lock);
    sums->realTime = 0;
    sums->deadTime = 0;
    c_ticket_unlock(&sums->lock);
    return 0;
}

int XMOR_TakeTimeSums(int slot, uint32_t channel, uint64_t* realTime, uint64_t* deadTime) {
    c_MorvaneChannel_t* sums = NULL;
    int code = sumsOf(slot, channel, &sums);
    if (code != 0)
        return code;
    c_ticket_lock(&sums->lock);
    if (realTime != NULL)
        *realTime = sums->realTime;
    if (deadTime != NULL)
        *deadTime = sums->deadTime;
    sums->realTime = 0;
    sums->deadTime = 0;
    c_ticket_unlock(&sums->lock);
    return 0;
}

/* ===================================== record-level acquisition commands */

int MORVANE_BoardReset(c_Digitizer_t* d) {
    if (slotOf(d->handle) != NULL)
        return 0; /* the device has nothing to reset */
    BLOG(d, C_LOG_ERROR, "error %i in XMOR_DGTZ_Reset()", MORVANE_ERR_INVALID_SLOT);
    return DPPL_ERR_DIGITIZER_API;
}

int MORVANE_BoardStart(c_Digitizer_t* d) {
    int code = XMOR_DGTZ_StartAcquisition(d->handle);
    if (code == 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", code);
    return DPPL_ERR_DIGITIZER_API;
}

int MORVANE_BoardStop(c_Digitizer_t* d) {
    int code = XMOR_DGTZ_StopAcquisition(d->handle);
    if (code == 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "Error in XMOR_DGTZ_StopAcquisition: %i", code);
    return DPPL_ERR_DIGITIZER_API;
}

int MORVANE_ChannelStart(c_Digitizer_t* d, int32_t channel) {
    uint32_t ch = (uint32_t)channel;
    int code = XMOR_DGTZ_ClearChannelData(d->handle, ch);
    if (code == MORVANE_ERR_INVALID_SLOT || code == MORVANE_ERR_INVALID_CHANNEL) {
        BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_ClearData: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    if (ch < MORVANE_CHANNELS) /* channel 2 keeps no sums */
        XMOR_ClearTimeSums(d->handle, ch);
    code = XMOR_DGTZ_StartChannelAcquisition(d->handle, ch);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    return 0;
}

int MORVANE_SWTrigger(c_Digitizer_t* d) { return XMOR_DGTZ_SendSWTrigger(d->handle) == 0 ? 0 : DPPL_ERR_DIGITIZER_API; }

int MORVANE_ChannelSWTrigger(c_Digitizer_t* d, int32_t channel) {
    return channel >= 0 && XMOR_DGTZ_SendChannelSWTrigger(d->handle, (uint32_t)channel) == 0 ? 0
                                                                                             : DPPL_ERR_DIGITIZER_API;
}

int MORVANE_GetRealtimeAndDeadtime(c_Digitizer_t* d, int32_t channel, uint64_t* realTime, uint64_t* deadTime) {
    if (slotOf(d->handle) == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (channel < 0 || channel > 2)
        return MORVANE_ERR_INVALID_CHANNEL;
    return XMOR_TakeTimeSums(d->handle, (uint32_t)channel, realTime, deadTime);
}

/* ======================================================== tests of state */

bool XMOR_IsBoardConfigured(c_Digitizer_t* d) {
    if (d == NULL || d->descriptor.DPPCode != DPPL_DPPCODE_MORVANE)
        return false;
    c_Parameter_t* p = c_pfind(d, DPPL_PARAM_BOARD_CONFIG_STATUS);
    double value = 0;
    if (p == NULL || c_pget(d, p, &value) != 0) {
        BLOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.",
             p != NULL ? p->name : "DPPL_PARAM_BOARD_CONFIG_STATUS");
        return false;
    }
    return (int64_t)value == 1;
}

bool XMOR_IsHVChannelOn(c_Digitizer_t* d, uint32_t hvChannel) {
    if (d == NULL || d->descriptor.DPPCode != DPPL_DPPCODE_MORVANE)
        return false;
    c_Parameter_t* p = c_pfindhvc(d, (int32_t)hvChannel, DPPL_PARAM_HVCH_ON);
    double value = 0;
    if (p == NULL || c_pget(d, p, &value) != 0) {
        BLOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.", p != NULL ? p->name : "DPPL_PARAM_HVCH_ON");
        return false;
    }
    return (int64_t)value != 0;
}

} // extern "C"
