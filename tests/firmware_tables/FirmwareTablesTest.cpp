// A firmware is a row in each of the three tables that pick by DPP code (the
// library's, the plug-in's and the simulator's), its board definition files,
// and the profiles of the simulated boards that run it. A side that lacks a
// code fails here at once; without this check a board whose firmware the
// simulator lacks would only show as server tests waiting for data until
// their time-out.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>

#include "../support/SimProfiles.h"
#include "KelsorFirmwareTable.h"
#include "ZarnParameters.h"

using testsup::SimProfile;

namespace {

using Codes = std::set<uint32_t>;

// A DPP code is the low byte of the channel firmware's major revision.
const uint32_t kCodes = 256;

std::string describe(const Codes& codes) {
    std::ostringstream text;
    for (uint32_t code : codes)
        text << code << " ";
    return text.str();
}

// A record with the identity of the profile's board and nothing else: what
// the firmware tables and the definition-file search look at.
std::unique_ptr<c_Digitizer_t> recordOf(uint32_t family, uint32_t dppCode, const char* firmware = "",
                                        uint32_t formFactor = 0) {
    auto d = std::make_unique<c_Digitizer_t>();
    memset(d.get(), 0, sizeof(c_Digitizer_t));
    d->descriptor.FamilyCode = family;
    d->descriptor.DPPCode = static_cast<int32_t>(dppCode);
    d->descriptor.FormFactor = formFactor;
    snprintf(d->descriptor.ChannelFirmwareRel, sizeof d->descriptor.ChannelFirmwareRel, "%s", firmware);
    d->descriptor.CommHandle = -1;
    d->handle = -1;
    return d;
}

Codes libraryCodes() {
    Codes codes;
    for (uint32_t code = 0; code < kCodes; code++)
        if (ZarnFirmware_Find(static_cast<int32_t>(code)) != NULL)
            codes.insert(code);
    return codes;
}

Codes pluginCodes() {
    Codes codes;
    for (uint32_t code = 0; code < kCodes; code++)
        if (kelsorFirmwareOf(recordOf(0, code).get())->dppCode == static_cast<int32_t>(code))
            codes.insert(code);
    return codes;
}

Codes simulatorCodes() {
    Codes codes;
    zsim::ForEachBuiltInEncoder([&](uint32_t code, const ZarnSim_Encoder_t&) { codes.insert(code); });
    return codes;
}

Codes profileCodes() {
    Codes codes;
    for (const SimProfile& p : testsup::shippedProfiles().boards)
        codes.insert(p.dppCode);
    return codes;
}

TEST(FirmwareTables, TheProfilesAreRead) {
    EXPECT_EQ(testsup::shippedProfiles().error, "");
    EXPECT_FALSE(testsup::shippedProfiles().boards.empty());
}

// The library, the plug-in and the simulator have a row for the same codes,
// and some simulated board runs each of them (so that the every-board tests
// reach every firmware).
TEST(FirmwareTables, AgreeOnTheSetOfCodes) {
    const Codes library = libraryCodes();
    EXPECT_EQ(describe(pluginCodes()), describe(library)) << "the plug-in's rows against the library's";
    EXPECT_EQ(describe(simulatorCodes()), describe(library)) << "the simulator's rows against the library's";
    EXPECT_EQ(describe(profileCodes()), describe(library)) << "the profiles' firmware against the library's rows";
}

// Every profile's firmware is in every table, on its family where the
// firmware goes by family, and has its board definition file.
TEST(FirmwareTables, EveryProfileHasItsRowsAndDefinitionFile) {
    for (const SimProfile& p : testsup::shippedProfiles().boards) {
        SCOPED_TRACE(testing::Message() << p.name << ": firmware " << p.info.ChannelFirmwareRel << ", family "
                                        << p.info.FamilyCode);
        EXPECT_TRUE(testsup::librarySupports(p)) << "the library has no row for it";
        EXPECT_TRUE(testsup::simulatorServes(p)) << "the simulator has no row for it";
        EXPECT_EQ(kelsorFirmwareOf(recordOf(p.info.FamilyCode, p.dppCode).get())->dppCode,
                  static_cast<int32_t>(p.dppCode))
            << "the plug-in has no row for it";
        auto record = recordOf(p.info.FamilyCode, p.dppCode, p.info.ChannelFirmwareRel, p.info.FormFactor);
        xmlDocPtr definitions = c_findBoardDefinitionFile(record.get());
        EXPECT_NE(definitions, nullptr) << "no board definition file";
        c_xml_freedoc(definitions);
    }
}

// The standard waveform firmware runs on the families that the library's and
// the simulator's family rows name; the plug-in names no family the library
// lacks (its DC-offset wait knows fewer families, by design).
TEST(FirmwareTables, AgreeOnTheFamiliesOfTheWaveformFirmware) {
    Codes library, simulator, plugin, profiles;
    for (uint32_t family = 0; family < 0x10000; family++) {
        const SCOPE_Family_t* row = SCOPE_FindFamily(family);
        if (row != NULL && row->init != NULL)
            library.insert(family);
        if (testsup::simulatorRunsWaveformsOn(family))
            simulator.insert(family);
        if (kelsorScopeSpiWait(recordOf(family, 0).get()) != KELSOR_SPI_NO_FAMILY)
            plugin.insert(family);
    }
    for (const SimProfile& p : testsup::shippedProfiles().boards)
        if (testsup::waveformsOnly(p))
            profiles.insert(p.info.FamilyCode);
    EXPECT_EQ(describe(simulator), describe(library)) << "the simulator's family rows against the library's";
    EXPECT_EQ(describe(profiles), describe(library)) << "the profiles' families against the library's rows";
    for (uint32_t family : plugin)
        EXPECT_EQ(library.count(family), 1u) << "the plug-in names family " << family;
}

} // namespace
