/* The server process opened on the device with -h, end to end over TCP. */
#include <gtest/gtest.h>

#include "../server_commands/CommandTestSupport.h"
#include "ServerTestSupport.h"
#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"

using namespace cmdtest;
using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t SUCCESS = 0;
// Command 27's data mask: the counts and the entries.
const uint64_t SPECTRUM_COUNTS = 0x1, SPECTRUM_ENTRIES = 0x40;

TEST(MorvaneServer, OpensTheDeviceServesAndQuitsCleanly) {
    uint16_t port = freePort();
    ServerProcess server({"-h", "-p", std::to_string(port)});
    ASSERT_TRUE(server.waitReady()) << server.log() << server.log("CBoard_MorvaneLog.txt");
    // The board's data folder is named after the device's model and serial number.
    EXPECT_TRUE(fs::exists(server.workDir() / "QN8560N_7101" / "spectrum_ch00.spe"));
    EXPECT_TRUE(fs::exists(server.workDir() / "QN8560N_7101" / "spectrum_ch01.spe"));
    Client client(port);
    ASSERT_TRUE(client.connected());
    auto reply = client.request(QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), SUCCESS);
    EXPECT_EQ(server.waitExit(60s), 0);
}

Request channelMask(uint32_t mask) {
    Request r = maskRequest(0, 0);
    r.u32(mask);
    return r;
}

/* A channel's energy spectrum as command 27 sends it. */
struct Spectrum {
    std::vector<uint32_t> counts;
    uint64_t entries = 0;
};

/* The server on the device, one client. */
class DeviceServer : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = freePort();
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-h", "-p", std::to_string(port_)},
                                                  std::map<std::string, std::string>{{"ZARN_LOG_LEVEL", "8"}});
        ASSERT_TRUE(server_->waitReady()) << server_->log() << server_->log("CBoard_MorvaneLog.txt");
        client_ = std::make_unique<Client>(port_);
        ASSERT_TRUE(client_->connected());
    }
    void TearDown() override {
        if (client_ && client_->connected()) {
            EXPECT_EQ(status(QUIT, maskRequest(0, 0)), SUCCESS);
            EXPECT_EQ(server_->waitExit(60s), 0) << boardLog();
        }
    }

    int16_t status(uint16_t command, const Bytes& payload) {
        auto reply = client_->request(command, payload);
        EXPECT_TRUE(reply) << "no reply to command " << command;
        return reply ? reply->status() : INT16_MIN;
    }
    Bytes payload(uint16_t command, const Bytes& request) {
        auto reply = client_->request(command, request);
        EXPECT_TRUE(reply && reply->status() == SUCCESS) << "command " << command;
        return reply && reply->status() == SUCCESS ? reply->payload : Bytes{};
    }
    std::string boardLog() const {
        return server_->log("SRVBoardThreadLog.txt") + server_->log("SRV_AcquisitionControlLog.txt") +
               server_->log("ZarnDPPLayerLog.txt") + server_->log("CBoard_MorvaneLog.txt");
    }

    Spectrum spectrum(int32_t channel) {
        Request r;
        r.u64(SPECTRUM_COUNTS | SPECTRUM_ENTRIES).path({channel, kChannel, 0, 9});
        Bytes p = payload(GET_SPECTRUM, r);
        Spectrum s;
        if (p.size() < 10)
            return s;
        Reader reader(p);
        for (size_t bins = (p.size() - 10) / 4; bins > 0; bins--)
            s.counts.push_back(reader.u32());
        s.entries = reader.u32();
        s.entries |= static_cast<uint64_t>(reader.u32()) << 32;
        return s;
    }
    void clearSpectrum(int32_t channel) {
        Request r = maskRequest(0, 0);
        r.path({channel, kChannel, 0, 9});
        EXPECT_EQ(status(CLEAR_SPECTRUM, r), SUCCESS);
    }
    bool waitForEntries(int32_t channel, uint64_t atLeast) {
        return waitFor([&] { return spectrum(channel).entries >= atLeast; }, 30s);
    }

    // Names the run file that the next start records.
    void recordNextRun(const std::string& runFile) {
        Bytes name{1}; // command 22: flag 1, then the name as an i8 array
        putU32(name, static_cast<uint32_t>(runFile.size()));
        name.insert(name.end(), runFile.begin(), runFile.end());
        ASSERT_EQ(status(SET_RUN_FILE, name), SUCCESS);
    }
    // The raw-data file that a run file names.
    fs::path recordedFile(const std::string& runFile) {
        std::istringstream line(readFile(server_->workDir() / "Run" / runFile));
        std::string boardName, rawFile;
        line >> boardName >> rawFile;
        EXPECT_EQ(boardName, "QN8560N_7101");
        return server_->workDir() / rawFile;
    }
    void setParameter(std::initializer_list<int32_t> path, double value) {
        Request r;
        r.u64(1).path(path).f64(value);
        ASSERT_EQ(status(SET_PARAMETER, r), SUCCESS) << server_->log("SRVParameterLog.txt");
    }

    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

// A mask of some channels starts and stops those channels alone.
TEST_F(DeviceServer, ChannelStartAndStopAnswerZeroAndTouchOnlyTheirChannel) {
    clearSpectrum(0);
    clearSpectrum(1);
    ASSERT_EQ(status(START, channelMask(0x2)), SUCCESS) << boardLog();
    ASSERT_TRUE(waitForEntries(1, 50)) << boardLog();
    ASSERT_EQ(status(STOP, channelMask(0x2)), SUCCESS) << boardLog();
    EXPECT_NE(boardLog().find("Acquisition for channel '1' stopped."), std::string::npos) << boardLog();
    uint64_t stopped = spectrum(1).entries;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(spectrum(1).entries, stopped);
    EXPECT_EQ(spectrum(0).entries, 0u);
}

/* The MCS spectrum of a channel as command 46 sends it. */
struct Mcs {
    std::vector<uint32_t> counts;
    uint32_t state = 99, pass = 99;
};

/* What a recorded run holds for one channel: its events' time tags (sample
 * periods) and its multichannel-scaling data. */
struct RecordedChannel {
    std::vector<uint64_t> ticks;
    // Energy spectrum of the events that the server histograms (16384 bins,
    // 14-bit energies: the bin is the energy) of the whole run.
    std::vector<uint32_t> spectrum = std::vector<uint32_t>(16384, 0);
    // The record's first event of each read carries the waveform: how many
    // pulses and special events showed samples, how many, and the probe of
    // analog trace 1.
    uint32_t tracedPulses = 0, tracedSpecials = 0, samples = 0;
    int32_t analog1Probe = -1;
    struct Datum {
        uint32_t slot, count, firstTick;
        bool sweepStart;
    };
    std::vector<Datum> data;
};

/* Reads a raw-data file back through the library's replay. */
std::vector<RecordedChannel> readRecordedRun(const fs::path& file) {
    std::vector<RecordedChannel> channels(2);
    c_Digitizer_t* d = new c_Digitizer_t;
    _resetDgtz(d);
    EXPECT_EQ(c_newFileDigitizer(d, file.c_str()), 0) << file;
    EXPECT_EQ(c_bstarta(d), 0);
    uint64_t periodPs = static_cast<uint64_t>(d->descriptor.SamplePeriod * 1000.0);
    // Flags of the events that no spectrum counts (pseudo, 0x400, pile-up,
    // bit 18, MCS datum).
    const uint32_t notHistogrammed = 0x848408;
    for (int reads = 0; reads < 1000000; reads++) {
        if (c_getDPPEvents(d, NULL) != 0 || d->roBuffer.ROBytes == 0)
            break;
        for (uint32_t ch = 0; ch < 2; ch++) {
            for (uint32_t i = 0; i < d->channels[ch].nEvents; i++) {
                const c_DPPEvent_t& e = d->channels[ch].events[i];
                if (e.waveform != NULL && e.waveform->nSamples > 0) {
                    bool special = (e.flags & (EVTFLAG_MCS | EVTFLAG_PSEUDO)) != 0;
                    (special ? channels[ch].tracedSpecials : channels[ch].tracedPulses)++;
                    channels[ch].samples = e.waveform->nSamples;
                    channels[ch].analog1Probe = e.waveform->traces[1].probe;
                }
                if ((e.flags & notHistogrammed) == 0 && e.energy < channels[ch].spectrum.size()) {
                    channels[ch].spectrum[e.energy]++;
                }
                if (e.flags & EVTFLAG_MCS)
                    channels[ch].data.push_back(
                        {static_cast<uint32_t>(e.specialIndex), e.specialWord1, e.specialWord2, e.specialFlag == 1});
                else if ((e.flags & EVTFLAG_PSEUDO) == 0)
                    channels[ch].ticks.push_back(e.timeStamp / periodPs);
            }
        }
    }
    c_freeDgtz(d);
    delete d;
    return channels;
}

/* A data format of the device: waveforms off, or on with one or two analog
 * traces. */
struct DataFormat {
    const char* name;
    bool waveforms;
    bool dualTrace;
};

class DeviceFormats : public DeviceServer, public ::testing::WithParamInterface<DataFormat> {
protected:
    // Record length 400 ns: 40 samples of 10 ns.
    static constexpr uint32_t kSamples = 40;
    void SetFormat(const DataFormat& format) {
        const int32_t RECORD_LENGTH = 0, WAVEFORMS = 22, VTRACE_PROBE = 2100, PROBE_INPUT = 1;
        if (!format.waveforms)
            return;
        setParameter({RECORD_LENGTH, kCode}, kSamples * 10.0);
        setParameter({WAVEFORMS, kCode}, 1);
        if (format.dualTrace)
            setParameter({VTRACE_PROBE, kCode, 1, kVTrace}, PROBE_INPUT); // analog trace 1
    }
};

// Multichannel scaling end to end, in each data format: the device counts its
// events in slots of a sweep and reports each slot among its events; the
// server adds the passes up. The spectrum sent over TCP must hold, per slot,
// the events that the recorded run shows in that slot's time window over all
// passes. Special events never show a waveform.
TEST_P(DeviceFormats, McsRunCountsTheEventsOfEverySlotOverTcp) {
    const DataFormat& format = GetParam();
    SetFormat(format);
    const int32_t MCS_CHANNELS = 4100, DWELL_TIME = 4101, INTERNAL_DWELL = 4102, PRESET_PASSES = 4110,
                  ACCUMULATION = 4111;
    const uint32_t slots = 8, dwellUs = 20000, passes = 3;
    for (int32_t ch = 0; ch < 2; ch++) {
        setParameter({MCS_CHANNELS, kCode, ch, kChannel, 0, 10}, slots);
        setParameter({DWELL_TIME, kCode, ch, kChannel, 0, 10}, dwellUs);
        setParameter({INTERNAL_DWELL, kCode, ch, kChannel, 0, 10}, 1);
        setParameter({PRESET_PASSES, kCode, ch, kChannel, 0, 10}, passes);
        setParameter({ACCUMULATION, kCode, ch, kChannel, 0, 10}, 1); // add the passes up
    }
    auto getMcs = [&](int32_t channel) {
        Request r;
        r.u64(0x7).path({channel, kChannel, 0, 10});
        Bytes p = payload(GET_MCS, r);
        Mcs m;
        if (p.size() != 2 + 4 * slots + 5)
            return m;
        Reader reader(p);
        for (uint32_t i = 0; i < slots; i++)
            m.counts.push_back(reader.u32());
        m.state = reader.raw(1)[0];
        m.pass = reader.u32();
        return m;
    };
    recordNextRun("mcs.zrn");
    ASSERT_EQ(status(START, channelMask(0x3)), SUCCESS) << boardLog();
    // State 2: the last slot of the preset pass came in (no sweep signal follows).
    bool done = waitFor([&] { return getMcs(0).state == 2 && getMcs(1).state == 2; }, 30s);
    ASSERT_EQ(status(STOP, channelMask(0x3)), SUCCESS) << boardLog();
    ASSERT_TRUE(done) << server_->log("SRV_MCSLog.txt") << boardLog();

    std::vector<RecordedChannel> recorded = readRecordedRun(recordedFile("mcs.zrn"));
    const uint64_t dwellTicks = dwellUs * 1000ull / 10; // 10 ns sample period
    for (int32_t ch = 0; ch < 2; ch++) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        Mcs m = getMcs(ch);
        EXPECT_EQ(m.state, 3u); // stopped
        EXPECT_EQ(m.pass, passes);
        const RecordedChannel& run = recorded[ch];
        ASSERT_EQ(run.data.size(), slots * passes) << "one datum per slot of every pass, none after";
        std::vector<uint32_t> counted(slots, 0);
        uint64_t events = 0;
        for (size_t i = 0; i < run.data.size(); i++) {
            const RecordedChannel::Datum& datum = run.data[i];
            EXPECT_EQ(datum.slot, i % slots);
            EXPECT_EQ(datum.sweepStart, datum.slot == 0);
            // The slot's window, from its first sample period (low 32 bits).
            uint32_t inWindow = 0;
            for (uint64_t tick : run.ticks)
                inWindow += static_cast<uint32_t>(tick - datum.firstTick) < dwellTicks;
            EXPECT_EQ(datum.count, inWindow) << "slot " << datum.slot << " of pass " << i / slots + 1;
            counted[datum.slot] += inWindow;
            events += inWindow;
        }
        EXPECT_GT(events, 100u) << "the slots saw too few events to tell anything";
        EXPECT_EQ(m.counts, counted);

        EXPECT_EQ(run.tracedSpecials, 0u);
        if (format.waveforms) {
            EXPECT_GT(run.tracedPulses, 0u);
            EXPECT_EQ(run.samples, kSamples);
            EXPECT_EQ(run.analog1Probe, format.dualTrace ? 1 : 0); // the input, or no trace
        } else {
            EXPECT_EQ(run.tracedPulses, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Device, DeviceFormats,
                         ::testing::Values(DataFormat{"NoWaveforms", false, false},
                                           DataFormat{"SingleTrace", true, false}, DataFormat{"DualTrace", true, true}),
                         [](const ::testing::TestParamInfo<DataFormat>& info) { return info.param.name; });

// Start and stop answer 0 and fill both spectra; the run recorded with a run
// file replays to the same spectra, bin for bin, and both agree with the
// events that the recorded file holds.
TEST_F(DeviceServer, AcquiresEndToEndAndReplaysTheRecordedRunBinForBin) {
    recordNextRun("dev-1.zrn");
    clearSpectrum(0);
    clearSpectrum(1);
    ASSERT_EQ(status(START, channelMask(0x3)), SUCCESS) << boardLog();
    ASSERT_TRUE(waitForEntries(0, 300) && waitForEntries(1, 300)) << boardLog();
    ASSERT_EQ(status(STOP, channelMask(0x3)), SUCCESS) << boardLog();
    EXPECT_NE(boardLog().find("Acquisition stopped."), std::string::npos) << boardLog();
    Spectrum live[2] = {spectrum(0), spectrum(1)};
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(spectrum(0).entries, live[0].entries) << "a stopped device still fills its spectrum";
    std::vector<RecordedChannel> recorded = readRecordedRun(recordedFile("dev-1.zrn"));

    Bytes load(200, 0);
    std::string runName = "dev-1.zrn";
    std::copy(runName.begin(), runName.end(), load.begin());
    ASSERT_EQ(status(LOAD_RUN_FILE, load), SUCCESS)
        << server_->log("ZarnROBuffDumperLog.txt") << server_->log("ZarnDPPLayerLog.txt");
    clearSpectrum(0);
    clearSpectrum(1);
    ASSERT_EQ(status(START, channelMask(0x3)), SUCCESS) << boardLog();
    // The replay feeds every recorded buffer, the drain of the stop included.
    uint64_t recordedEntries[2] = {0, 0};
    for (int32_t ch = 0; ch < 2; ch++)
        for (uint32_t count : recorded[ch].spectrum)
            recordedEntries[ch] += count;
    EXPECT_TRUE(waitForEntries(0, recordedEntries[0]) && waitForEntries(1, recordedEntries[1])) << boardLog();
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(status(STOP, channelMask(0x3)), SUCCESS) << boardLog();
    for (int32_t ch = 0; ch < 2; ch++) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        Spectrum replayed = spectrum(ch);
        EXPECT_GT(recordedEntries[ch], 300u);
        EXPECT_EQ(replayed.entries, recordedEntries[ch]);
        EXPECT_TRUE(replayed.counts == recorded[ch].spectrum) << "the replay differs from the recorded events";
        // The live run histogrammed every recorded event, the stop's own read included.
        EXPECT_TRUE(live[ch].counts == recorded[ch].spectrum) << "the live spectrum differs from the recorded events";
    }
}

} // namespace
