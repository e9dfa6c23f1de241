/* ZarnBoard_GENERIC_DACFlash: DC-offset DAC calibration from the board flash. */
#include "ZarnFamilySupport.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "ZarnDigitizer.h"
#include "ZarnParameters.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC_DACFlash"};

#define BLOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr uint32_t kRegFlashType = 0xF050;
constexpr uint32_t kRegFlashSelect = 0xEF2C;
constexpr uint32_t kRegFlashData = 0xEF30;
constexpr uint32_t kDacCalibrationMarker = 0x0D;
constexpr size_t kDacPageBytes = 264;

/* -------------------------------------------------------------- DAC flash */

/* Reads one page of the board's serial flash through the board-access
 * register calls: select, read command with the page address and four dummy
 * bytes, one data access per byte, deselect. */
int readFlashPage(int handle, uint32_t type, uint32_t pageSize, uint32_t page, uint8_t* out) {
    uint32_t shift = pageSize == 264 ? 9 : (pageSize == 528 ? 10 : 11);
    uint32_t address = page << shift;
    uint32_t deselect = type == 0 ? 1 : 0;
    int failed = ZARN_DGTZ_WriteRegister(handle, kRegFlashSelect, type);
    const uint32_t command[8] = {0xD2, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF, 0, 0, 0, 0};
    for (uint32_t k = 0; k < 8 && failed == 0; ++k)
        failed = ZARN_DGTZ_WriteRegister(handle, kRegFlashData, command[k]);
    for (uint32_t k = 0; k < pageSize && failed == 0; ++k) {
        uint32_t value = 0;
        failed = ZARN_DGTZ_ReadRegister(handle, kRegFlashData, &value);
        out[k] = (uint8_t)(value & 0xFF);
    }
    int deselected = ZARN_DGTZ_WriteRegister(handle, kRegFlashSelect, deselect);
    return failed != 0 || deselected != 0 ? -2 : 0;
}

float littleEndianFloat(const uint8_t* bytes) {
    uint32_t word =
        (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) | ((uint32_t)bytes[3] << 24);
    float value;
    memcpy(&value, &word, sizeof value);
    return value;
}

int setCalibrationValue(c_Digitizer_t* d, c_Parameter_t* p, double value) {
    if (p != NULL)
        p->preferred = value;
    return GENERIC_SetParam(d, p, value, 0);
}

bool isFamily(const c_Digitizer_t* d, uint32_t family) { return d->descriptor.FamilyCode == family; }

} // namespace

int GENERIC_ReadDACCalibrationFromFlash(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t typeBits = 0;
    if (ZARN_DGTZ_ReadRegister(d->handle, kRegFlashType, &typeBits) != 0) {
        BLOG(d, C_LOG_ERROR, "Can't read the flash type register.");
        return DPPL_ERR_GENERIC;
    }
    uint32_t type = 0, pageSize = 264, page = 6;
    if ((typeBits & 0x3) == 2) {
        type = 4;
    } else if (typeBits & 0x1) {
        type = 2;
        pageSize = 528;
        page = 3;
    }
    uint8_t* buffer = (uint8_t*)c_calloc(pageSize, 1);
    if (buffer == NULL || readFlashPage(d->handle, type, pageSize, page, buffer) != 0) {
        c_free(buffer);
        BLOG(d, C_LOG_ERROR, "Can't read the DAC calibration page of the board flash.");
        return DPPL_ERR_GENERIC;
    }
    uint8_t pageData[kDacPageBytes];
    memcpy(pageData, buffer, kDacPageBytes);
    c_free(buffer);
    if (pageData[0] != kDacCalibrationMarker) {
        BLOG(d, C_LOG_ERROR, "No DAC Calibration data found in board flash. Proceding with default values.");
        return 0;
    }
    BLOG(d, C_LOG_INFO, "DAC Calibration data found in board flash.");
    return GENERIC_LoadDACCalibration(d, pageData + 1, kDacPageBytes - 1, isFamily(d, 4) ? 1 : 0);
}

int GENERIC_LoadDACCalibration(c_Digitizer_t* d, const void* data, size_t size, uint8_t perGroup) {
    if (d == NULL || data == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    size_t n = perGroup ? d->descriptor.NumGroups : d->descriptor.NumChannels;
    if (size < 8 * n) {
        BLOG(d, C_LOG_ERROR, "Invalid size to load DAC calibration. (size=%zu, n_ch=%zu)", size, n);
        return DPPL_ERR_GENERIC;
    }
    const uint8_t* bytes = (const uint8_t*)data;
    for (size_t i = 0; i < n; ++i) {
        int32_t index = (int32_t)i;
        c_Parameter_t* p0 = perGroup ? c_pfindg(d, index, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0)
                                     : c_pfindc(d, index, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0);
        c_Parameter_t* p1 = perGroup ? c_pfindg(d, index, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P1)
                                     : c_pfindc(d, index, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P1);
        int code = setCalibrationValue(d, p0, littleEndianFloat(bytes + 8 * i));
        if (code == 0)
            code = setCalibrationValue(d, p1, littleEndianFloat(bytes + 8 * i + 4));
        if (code != 0)
            return code;
    }
    return 0;
}
