/* The shipped simulated boards (definitions/SimulatedBoards.xml), read once
 * by the simulator's own profile reader, and what each can do, asked of the
 * part of the system that knows it: the profile (address, model, serial,
 * channels, family, firmware code), the library's firmware tables (waveforms
 * only, the waveform unit) and the simulator's (does it serve the firmware).
 * The every-board tables of the tests are made from these, so that a new
 * profile is covered wherever it can be without an edit to any test.
 *
 * A program that includes this links ZarnComm and the white-box library
 * (dravik_white_box). */
#ifndef TEST_SUPPORT_SIM_PROFILES_H
#define TEST_SUPPORT_SIM_PROFILES_H

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "CBoard_Scope.h"
#include "ZarnDPPLayer.h"
#include "ZarnFirmwareTable.h"
#include "ZarnSimBoard.h"

namespace testsup {

using SimProfile = zsim::Profile;

struct ShippedProfiles {
    std::vector<SimProfile> boards;
    std::string error; /* empty when the file was read */
};

/* Every profile of the shipped file, in the file's order. */
inline const ShippedProfiles& shippedProfiles() {
    static const ShippedProfiles shipped = [] {
        ShippedProfiles read;
        if (zsim::LoadProfiles(std::string(MORVANE_DEFINITIONS_DIR) + "/SimulatedBoards.xml", read.boards,
                               read.error) != 0 &&
            read.error.empty())
            read.error = "the profiles can't be read";
        return read;
    }();
    return shipped;
}

/* The standard waveform firmware (DPP codes 0 and 1) runs on several
 * families; everything about it goes by the family. */
inline bool isWaveformFirmware(uint32_t dppCode) {
    const ZarnFirmware_t* row = ZarnFirmware_Find(static_cast<int32_t>(dppCode));
    return row != NULL && row->walker == ZARN_WALKER_SCOPE;
}

/* The library: the firmware records waveforms only (no spectra, no list of
 * events, no channel run gates). */
inline bool waveformsOnly(const SimProfile& p) { return isWaveformFirmware(p.dppCode); }

/* The library supports the profile's firmware on its family. */
inline bool librarySupports(const SimProfile& p) {
    if (ZarnFirmware_Find(static_cast<int32_t>(p.dppCode)) == NULL)
        return false;
    if (!isWaveformFirmware(p.dppCode))
        return true;
    const SCOPE_Family_t* family = SCOPE_FindFamily(p.info.FamilyCode);
    return family != NULL && family->init != NULL;
}

/* The simulator has a register map of the standard waveform firmware for
 * the family (any other family runs the generic waveform map; the device's
 * family runs the device's map whatever the firmware). */
inline bool simulatorRunsWaveformsOn(uint32_t family) {
    const uint32_t noSuchFamily = 0xFFFFFFF0u;
    const zsim::FamilyMap& map = zsim::FamilyMapFor(family, 0);
    return &map != &zsim::FamilyMapFor(noSuchFamily, 0) && &map != &zsim::FamilyMapFor(family, DPPL_DPPCODE_MORVANE);
}

/* The simulator has the firmware's row: its register map (for the standard
 * waveform firmware, the family's) and the encoder of its data. A board
 * whose firmware it lacks opens but never yields data. */
inline bool simulatorServes(const SimProfile& p) {
    ZarnSim_Encoder_t encoder;
    if (!zsim::FindEncoder(p.dppCode, &encoder))
        return false;
    return !isWaveformFirmware(p.dppCode) || simulatorRunsWaveformsOn(p.info.FamilyCode);
}

/* The library's connection parameters of the profile's address (the device
 * without connection parameters has none). */
inline c_ConnParams_t connectionOf(const SimProfile& p) {
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    params.linkType = p.linkType;
    params.linkNumber = p.linkNumber;
    params.node = p.node;
    params.vmeBase = p.vmeBase;
    snprintf(params.address, sizeof params.address, "%s", p.addressText.c_str());
    return params;
}

/* Opens the profile's board into the record as the server does: by its
 * connection parameters, or, for the device without connection parameters,
 * with none. */
inline int openProfile(c_Digitizer_t* record, const SimProfile& p) {
    if (p.noConnection)
        return c_newDigitizer(record, NULL);
    c_ConnParams_t params = connectionOf(p);
    return c_newDigitizer(record, &params);
}

/* The server's command line that opens the profile's board: -h for the
 * device without connection parameters, else the link type (-t usb for
 * link type 0, -t opt for 1; the server reaches no other), the link number,
 * the node and the VME base address. Empty: the server can't reach it. */
inline std::vector<std::string> serverOptions(const SimProfile& p) {
    if (p.noConnection)
        return {"-h"};
    if (p.linkType != 0 && p.linkType != 1)
        return {};
    std::vector<std::string> options = {"-t", p.linkType == 0 ? "usb" : "opt", "-n", std::to_string(p.linkNumber),
                                        "-c", std::to_string(p.node)};
    if (p.vmeBase != 0) {
        char base[16];
        snprintf(base, sizeof base, "0x%x", p.vmeBase);
        options.insert(options.end(), {"-a", base});
    }
    return options;
}

} // namespace testsup

#endif
