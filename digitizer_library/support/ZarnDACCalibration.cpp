/* ZarnDACCalibration: DC-offset DAC calibration from the board flash. Logs to
 * the board layer's log under its source name "ZarnBoard_GENERIC_DACFlash". */
#include "ZarnFamilyRows.h"
#include "ZarnFamilySupport.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "ZarnDigitizer.h"
#include "ZarnHighVoltage.h"
#include "ZarnParameters.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC_DACFlash"};

#define BLOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr uint32_t kDacCalibrationMarker = 0x0D;
constexpr size_t kDacPageBytes = 264;
/* The calibration page: page 6 of a flash of 264-byte pages, 3 of 528. */
constexpr uint32_t kDacPageSmall = 6, kDacPageLarge = 3;

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

} // namespace

int GENERIC_ReadDACCalibrationFromFlash(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t typeBits = 0;
    if (ZARN_DGTZ_ReadRegister(d->handle, FLASH_REG_TYPE, &typeBits) != 0) {
        BLOG(d, C_LOG_ERROR, "Can't read the flash type register.");
        return DPPL_ERR_GENERIC;
    }
    const c_FlashDescription_t flash = _boardFlash(d->handle, typeBits);
    const uint32_t page = flash.pageSize == 264 ? kDacPageSmall : kDacPageLarge;
    uint8_t* buffer = (uint8_t*)c_calloc(flash.pageSize, 1);
    if (buffer == NULL || _readFlashPages(&flash, buffer, page, 1) != 0) {
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
    return GENERIC_LoadDACCalibration(d, pageData + 1, kDacPageBytes - 1,
                                      ZarnFamily_Find(d->descriptor.FamilyCode)->dacCalibrationPerGroup ? 1 : 0);
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
