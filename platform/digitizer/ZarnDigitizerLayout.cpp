// The board-information record is copied byte for byte into the library's
// board descriptor and from there into raw-data files: its layout is fixed.
#include "ZarnDigitizer.h"

#include <cstddef>

static_assert(sizeof(ZARN_DGTZ_BoardInfo_t) == 164);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, ModelName) == 0);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, Model) == 12);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, Channels) == 16);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, FormFactor) == 20);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, FamilyCode) == 24);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, BoardFirmwareRel) == 28);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, ChannelFirmwareRel) == 48);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, SerialNumber) == 88);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, Unused1) == 92);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, InfoWord) == 124);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, ADC_NBits) == 128);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, Unused2) == 132);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, CommHandle) == 136);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, LinkInfo) == 140);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, Reserved) == 144);
