// The rows of how the server reaches a board, and the choice of one.
#include "SRV_BoardAccess.h"

namespace {

// The client numbers the driver families 0 to 9 as the library does, and
// the later ones one lower; families 10 and 15 have no code.
int32_t driverFamilyCode(uint32_t family) {
    switch (family) {
    case 11: return 10;
    case 12: return 11;
    case 13: return 12;
    case 14: return 13;
    case 16: return 15;
    default: return family <= 9 ? static_cast<int32_t>(family) : -1;
    }
}

// The register-level device is a family of its own for the client.
int32_t deviceFamilyCode(uint32_t) { return 14; }

const SRVBoardAccess_t FAMILY_DRIVER_BOARD = {
    .familyCode = driverFamilyCode,
};

const SRVBoardAccess_t REGISTER_LEVEL_DEVICE = {
    .softwareSCA = 1,
    .icrCountsParameter = 1,
    .criterionStopsChannel = 1,
    .serverVersionAsFirmware = 1,
    .familyCode = deviceFamilyCode,
};

} // namespace

const SRVBoardAccess_t* SRV_BoardAccessOf(const c_BoardDescriptor_t* descriptor) {
    return descriptor->FamilyCode == DPPL_FAMILY_MORVANE ? &REGISTER_LEVEL_DEVICE : &FAMILY_DRIVER_BOARD;
}
