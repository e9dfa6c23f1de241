// Internal interface of the simulated board, shared by ZarnComm, ZarnDigitizer
// and the test interface. Not part of any exported header: C++ only.
//
// One Board object is the whole state of one open board: its profile, its
// register file, its event source and its readout queues. What differs by the
// kind of hardware (the registers with a meaning of their own, how the
// acquisition runs, the flash memory) is the object's own class, chosen once
// from the board's register map when the board opens: a DigitizerBoard or the
// register-level DeviceBoard (ZarnSimBoardKinds.h). Both the digitizer-access
// layer and the link layer reach the same object, through the registry below,
// and every access holds the board's own mutex.
#ifndef ZARN_SIM_BOARD_H
#define ZARN_SIM_BOARD_H

#include "../digitizer/ZarnDigitizer.h"
#include "ZarnSimEncoder.h"
#include "ZarnSimRandom.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zsim {

constexpr uint32_t kMaxChannels = 64;

// ------------------------------------------------------------------ profiles

struct SignalLine {
    double centroid = 0; // ADC counts
    double sigma = 0;    // ADC counts
    double weight = 0;   // relative
};

struct SignalSpec {
    double rate = 1000.0;          // counts per second per channel
    double resolvingTimeNs = 2000; // two pulses closer than this pile up
    double riseTimeNs = 40;        // waveform rise constant
    double decayTimeNs = 5000;     // waveform decay constant
    double noise = 2.0;            // waveform noise, ADC counts rms
    double baseline = -1;          // waveform baseline, ADC counts; < 0: from the DC offset
    std::vector<SignalLine> lines; // peaks
    double continuumWeight = 0.25; // relative weight of the exponential continuum
    double continuumSlope = 1500;  // its decay constant, ADC counts
    uint64_t seed = 0;             // 0: seeded from the clock at the open
    int clockMode = 0;             // ZARN_SIM_CLOCK_*
};

struct Profile {
    std::string name;
    std::string file;
    int line = 0;
    // address
    bool noConnection = false; // the register-level device, reached by ZarnComm_OpenLink
    int linkType = 0;
    int linkNumber = 0;
    std::string addressText; // link type 6
    int node = 0;
    uint32_t vmeBase = 0;
    // identity
    ZARN_DGTZ_BoardInfo_t info{};
    uint32_t dppCode = 0;
    uint32_t dppMinor = 0;
    uint32_t build = 0;        // firmware build number (device firmware word)
    uint32_t memoryCode = 1;   // 0x8140 bits 8-15
    double samplePeriodNs = 0; // 0: the family's
    uint32_t linkInfo = 0;
    // registers given by the profile on top of the family defaults
    std::vector<std::pair<uint32_t, uint32_t>> registers;
    std::vector<std::pair<uint32_t, uint32_t>> channelRegisters; // offsets, applied to every channel
    SignalSpec signal;
    // high-voltage supply
    uint32_t hvChannels = 0;
    uint32_t hvFirmwareLevel = 2;
    uint32_t hvRanges = 2; // device: ranges per high-voltage channel
    char hvPolarity = 'P';
    // serial flash
    uint32_t flashType = 0;
    std::map<uint32_t, std::vector<uint8_t>> flashPages; // page number -> bytes
};

// Path of the profiles file: $ZARN_SIMBOARD_FILE, else $DRAVIKDIR/SimulatedBoards.xml,
// else the compiled-in definitions folder.
std::string ProfilesPath();
// Reads every profile of the file. 0, or -1 after logging the file and line.
int LoadProfiles(const std::string& path, std::vector<Profile>& profiles, std::string& error);

// ------------------------------------------------------------- register map

// A register field: value = ((register & mask) >> shift) * scale.
struct Field {
    uint32_t address = 0; // 0: the family has no such register
    uint32_t mask = 0xFFFFFFFFu;
    bool perChannel = false; // address is the channel-0 address 0x10nn; channel n at 0x1nnn
    uint32_t scale = 1;
    bool Present() const { return address != 0; }
};

struct RegisterDefault {
    uint32_t address;
    uint32_t value;
    bool perChannel;
};

class Board;
struct FamilyMap;
// Makes the board object of the kind of hardware a register map belongs to.
using BoardMaker = std::shared_ptr<Board> (*)(const Profile& profile, const FamilyMap& map);

// What the board's behaviour reads from its registers, per family/firmware.
struct FamilyMap {
    const char* name;
    BoardMaker make; // the kind of hardware: MakeDigitizerBoard or MakeDeviceBoard
    double samplePeriodNs;
    uint32_t channelsPerBlock; // channels sharing one 0x1n00 register block and one enable bit (8: groups)
    Field channelEnable;       // mask register (bit per channel), or a per-channel bit
    Field channelRun;          // per-channel run gate (absent: always on)
    Field recordLength;        // samples
    Field preTrigger;          // samples
    Field eventsPerAggregate;  // events of one channel aggregate
    Field waveformEnable;      // bit: record waveforms
    Field aggregatesPerTransfer;
    Field polarity;        // bit: negative pulses
    Field dcOffset;        // 16-bit offset of the baseline
    bool realDeadCounters; // 0x1nDC / 0x1nE0 count real and dead time
    bool hvSupply;         // high-voltage registers at ((channels + h) << 8) | 0x10xx
    std::vector<RegisterDefault> defaults;
};

const FamilyMap& FamilyMapFor(uint32_t familyCode, uint32_t dppCode);
// Whether boards of the family and firmware have channel groups (at most 8).
bool HasChannelGroups(uint32_t familyCode, uint32_t dppCode);
// The encoders the firmware rows name, with their DPP codes.
void ForEachBuiltInEncoder(const std::function<void(uint32_t, const ZarnSim_Encoder_t&)>& add);

// Fixed addresses shared by every family.
enum : uint32_t {
    REG_BOARD_CONFIG = 0x8000,
    REG_BUFFER_ORGANISATION = 0x800C,
    REG_DEVICE_CLEAR = 0x8018,
    REG_DEVICE_RUN = 0x802C,
    REG_ACQ_CONTROL = 0x8100,
    REG_ACQ_STATUS = 0x8104,
    REG_SW_TRIGGER = 0x8108,
    REG_FRONT_PANEL_IO = 0x811C,
    REG_CHANNEL_ENABLE_MASK = 0x8120,
    REG_ROC_FIRMWARE = 0x8124,
    REG_BOARD_INFO = 0x8140,
    REG_BOARD_FAILURE = 0x8178,
    REG_MANUAL_FLUSH = 0x8190,
    REG_ADC_SHUTDOWN = 0x81C0,
    REG_OVER_TEMPERATURE = 0x81C4,
    REG_INTERFACE_STATUS = 0xEF04,
    REG_AGGREGATES_PER_TRANSFER = 0xEF1C,
    REG_DEVICE_CONFIG = 0xEF20,
    REG_SW_RESET = 0xEF24,
    REG_SW_CLEAR = 0xEF28,
    REG_FLASH_SELECT = 0xEF2C,
    REG_FLASH_DATA = 0xEF30,
    REG_FLASH_TYPE = 0xF050,
    // device flash controller
    REG_DFLASH_COMMAND = 0x8500,
    REG_DFLASH_PAGE = 0x8504,
    REG_DFLASH_COUNT = 0x8508,
    REG_DFLASH_UNLOCK_WORD = 0x8514,
    REG_DFLASH_UNLOCK_1 = 0x8518,
    REG_DFLASH_UNLOCK_2 = 0x851C,
    REG_DFLASH_ID = 0x85F0,
    REG_DFLASH_DATA = 0x8600,
    // channel registers, offsets of 0x1n00
    CH_STATUS = 0x88,
    CH_FIRMWARE = 0x8C,
    CH_TEMPERATURE = 0xA8,
    CH_REAL_TIME = 0xDC,
    CH_DEAD_TIME = 0xE0,
    // device channel commands, offsets of 0x1n00
    DCH_CLEAR = 0x18,
    DCH_RUN = 0x2C,
    DCH_CONFIG = 0x30,
    DCH_SAMPLE_ADVANCE = 0x3C,
    DCH_MCS_CONFIG = 0x40, // bit 0: the internal dwell timer runs (multichannel scaling on)
    DCH_MCS_SLOTS = 0x44,  // slots of a sweep
    DCH_MCS_DWELL = 0x48,  // dwell time of a slot, microseconds
    DCH_MCS_SWEEP = 0x4C,  // write 1: sweep signal
    DCH_SW_TRIGGER = 0xC0
};

constexpr uint32_t kDeviceFlashId = 0x044C2D00u;
constexpr uint32_t kDeviceFlashKey = 0x7E14C6B2u;
constexpr uint32_t kDeviceConfigKey = 0x5B90u;

inline uint32_t ChannelAddress(uint32_t channel, uint32_t offset) { return 0x1000u | (channel << 8) | offset; }

// The steady clock in nanoseconds: the wall-clock mode's board time follows it.
inline uint64_t SteadyNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// ----------------------------------------------------------------- encoders

// A board takes a copy of its format's encoder when it opens.
bool FindEncoder(uint32_t dppCode, ZarnSim_Encoder_t* encoder);

// The waveform words of the formats that carry an input trace two samples a
// word: sample 2j in bits 0-15 and 2j+1 in bits 16-31, each clamped to
// [0, maxSample], with two digital traces: bit windowBit (+16) set over the
// trigger window (`window` samples from the pre-trigger), bit halfBit (+16)
// over the record's second half. Writes `words` words; false (and nothing
// written) when the event's own samples do not cover them.
bool PackTwoSampleTrace(const ZarnSim_Event_t& event, uint32_t words, int32_t maxSample, uint32_t window,
                        uint32_t windowBit, uint32_t halfBit, uint32_t* out);

// -------------------------------------------------------------------- board

// A vector allocator that leaves new elements uninitialised: the buffers it
// serves (encoded words, waveform samples) are written before they are read.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Words = std::vector<uint32_t, UninitialisedAllocator<uint32_t>>;

// A framed board aggregate waiting for readout: its header and its unit
// aggregates in mask order, kept as the encoder wrote them until the read
// copies them out.
struct BoardAggregate {
    uint32_t header[4] = {};
    std::vector<Words> units;
    size_t words = 4; // the header included
    // Copies the first `count` words (at most `words`) to any byte address.
    void CopyTo(char* destination, size_t count) const;
};

// An event made outside the event source's own loop (software and
// per-trigger events), with its waveform.
struct PendingEvent {
    ZarnSim_Event_t event{};
    std::vector<int16_t> wave;
};

// What the event source reads from the registers of one channel, taken once
// per generation step rather than once per event.
struct ChannelSetup {
    bool running = false;      // enabled and its run gate open
    bool slotted = false;      // counts its events in multichannel-scaling slots
    double meanIntervalNs = 0; // between pulses, 1 / rate (0: no pulses)
    uint32_t samples = 0;      // waveform samples (0: no waveform)
    uint32_t preTrigger = 0;
    float baseline = 0;
    float sign = 1; // -1: negative pulses
};

struct ChannelState {
    // event source
    double nextArrivalNs = -1; // board time of the next pulse (< 0: not drawn)
    double lastArrivalNs = -1e30;
    double rate = 1000;
    // counters
    double realNs = 0;
    double deadNs = 0;
    double deadUntilNs = 0;
    uint64_t realTicksAtRead = 0;
    uint64_t deadTicksAtRead = 0;
    uint64_t generated = 0;
    uint64_t pileups = 0;
    uint64_t lost = 0;
};

struct UnitState {
    std::vector<ZarnSim_Event_t> open;                             // events of the aggregate being filled
    std::vector<int16_t, UninitialisedAllocator<int16_t>> samples; // their waveforms, one after the other
    std::deque<Words> closed;                                      // encoded unit aggregates waiting for readout
    uint32_t eventsPerAggregate = 1;                               // taken with the channel setups
    void Clear() {
        open.clear();
        samples.clear();
        closed.clear();
    }
};

// The shared part of every simulated board. Its kind (ZarnSimBoardKinds.h)
// answers the hooks below.
class Board {
public:
    virtual ~Board() = default;

    std::mutex mutex;
    Profile profile;
    const FamilyMap* map;
    int digitizerHandle = -1;
    int32_t link = -1;

    // Register access with the board's semantics (side effects of reads and
    // writes). The caller holds the mutex. (ZarnSimBoard.cpp)
    uint32_t Read(uint32_t address);
    void Write(uint32_t address, uint32_t value);
    // Without side effects.
    uint32_t Peek(uint32_t address) const;
    void Poke(uint32_t address, uint32_t value);

    // Commands. (ZarnSimBoard_Commands.cpp)
    void Reset();
    void Clear();
    void Start();
    void Stop();
    void SoftwareTrigger();
    void Calibrate();
    void Flush();

    // Readout: whole board aggregates; 0 (more may follow) or ZARN_COMM_NoMoreData.
    // (ZarnSimBoard_Readout.cpp)
    int BlockRead(void* destination, uint32_t maxWords, uint32_t* wordsRead);
    bool DataReady();
    uint32_t ReadoutBufferBytes();

    // Test interface: the event source's controls (ZarnSimEventSource.cpp) and
    // the faults tests raise (ZarnSimBoard_Faults.cpp).
    void Seed(uint64_t seed);
    void SetRate(int channel, double rate);
    void SetClockMode(int mode);
    void AdvanceClock(uint64_t nanoseconds);
    void RaiseCondition(int condition, uint64_t mask);
    void ClearCondition(int condition);
    void CutNextBlockRead(uint32_t maxWords, int code);
    void Counts(uint32_t channel, uint64_t* generated, uint64_t* pileups, uint64_t* lost) const;

    uint32_t Channels() const { return channels_; }
    double SamplePeriodNs() const { return period_; }

protected:
    // The kind's constructor loads the power-on registers (LoadDefaults) once
    // the object is whole: they include the kind's own.
    Board(const Profile& profile, const FamilyMap& map);

    // What each kind of hardware answers.
    // Its own power-on registers, before the profile's.
    virtual void LoadOwnDefaults() = 0;
    // Registers whose read or write has a meaning of its kind (false: none,
    // the register file answers or stores).
    virtual bool ReadOwn(uint32_t address, uint32_t* value) = 0;
    virtual bool WriteOwn(uint32_t address, uint32_t value) = 0;
    // The acquisition started or stopped.
    virtual void Started() = 0;
    virtual void Stopped() = 0;
    // Whether a quiet running board closes its partial aggregates itself.
    virtual bool FlushesWhenQuiet() const = 0;
    // A reset, after the registers are back at power-on.
    virtual void ResetOwn() = 0;
    // The board's run follows its registers (before the channels follow it).
    virtual void FollowRunRegisters() {}
    // A running channel stopped drawing pulses.
    virtual void ChannelStopped(uint32_t) {}
    // Multichannel scaling: whether a channel counts its events in slots (read
    // with the setups), the slots over before an event of a slotted channel,
    // its event counted, and the slots over by a board time.
    virtual bool Slotted(uint32_t) const { return false; }
    virtual void EndSlotsBefore(uint32_t, uint64_t) {}
    virtual void CountInSlot(uint32_t) {}
    virtual void EndSlotsBy(double) {}

    // register file (ZarnSimBoard.cpp)
    void LoadDefaults();
    // inline: the readout queues read the buffer organisation at every event
    uint32_t Raw(uint32_t address) const {
        auto it = regs_.find(address);
        return it == regs_.end() ? 0u : it->second;
    }
    void SetRaw(uint32_t address, uint32_t value) { regs_[address] = value; }
    uint32_t FieldValue(const Field& f, uint32_t channel) const;
    uint32_t StatusWord();
    // The acquisition status register's read: the status word, and the end
    // of the PLL restore sequence.
    uint32_t ReadAcquisitionStatus();
    bool WriteCommand(uint32_t address, uint32_t value);
    bool ReadSpecial(uint32_t address, uint32_t* value);
    // The channel register block of an address, if it is one of the board's.
    bool ChannelBlockOf(uint32_t address, uint32_t* block, uint32_t* offset) const;

    // acquisition and event source (ZarnSimEventSource.cpp)
    bool ChannelEnabled(uint32_t channel) const;
    bool ChannelRunning(uint32_t channel) const;
    double NowNs();
    void CatchUp();
    void GenerateUntil(double untilNs);
    void StartChannelSource(uint32_t channel, double fromNs);
    void ReadSetups();
    void GenerateChannels(uint64_t channels, double untilNs);
    double DrawInterval(uint32_t channel);
    void BuildEnergyTable();
    double DrawEnergy();
    void MakeWaveform(uint32_t channel, PendingEvent& event);
    void WriteWaveform(const ChannelSetup& setup, const ZarnSim_Event_t& event, int16_t* out);
    const float* PulseShape(uint32_t samples, bool rise);
    bool FastForward();
    void OnRunChange();
    void AdvanceTo(double ns);
    bool ShutDown(uint32_t channel) const;
    bool WavesOn() const;
    // readout queues (ZarnSimBoard_Readout.cpp)
    void Commit(uint32_t channel, PendingEvent&& event);
    void CommitTrigger(PendingEvent&& event);
    Words TakeWords(size_t count);
    void Recycle(BoardAggregate& aggregate);
    void CloseUnit(uint32_t unit);
    void CloseAllUnits();
    void FormAggregates();
    size_t UnitCapacity() const;
    uint32_t AggregatesPerTransfer() const;
    uint32_t EventsPerAggregate(uint32_t unit);
    uint32_t UnitOfChannel(uint32_t channel) const { return channel / perUnit_; }
    void PrepareContext();
    // commands (ZarnSimBoard_Commands.cpp)
    void ClearData();

    std::unordered_map<uint32_t, uint32_t> regs_;
    uint32_t channels_;
    double period_;
    ZarnSim_Encoder_t encoderCopy_{};
    const ZarnSim_Encoder_t* encoder_ = nullptr;
    ZarnSim_EncoderContext_t context_{};

    // acquisition
    bool running_ = false; // the acquisition runs
    double boardNs_ = 0;   // board time since the start
    double generatedUntilNs_ = 0;
    uint64_t wallStartNs_ = 0;
    double wallBaseNs_ = 0;
    int clockMode_ = 0;
    Random rng_;
    ChannelState ch_[kMaxChannels];
    ChannelSetup setup_[kMaxChannels];
    size_t unitCapacity_ = 0;
    bool perTrigger_ = false; // every trigger makes a board aggregate of its own
    // The line spectrum as an alias table: one uniform draw picks a slot
    // and, by its fraction, the slot's own component or its alias, without
    // a search.
    struct EnergyComponent {
        double offset, scale; // offset + scale * (exponential ? E : N)
        bool exponential;
    };
    struct EnergySlot {
        double keep; // probability of the slot's own component
        uint32_t own, alias;
    };
    std::vector<EnergyComponent> energyComponents_;
    std::vector<EnergySlot> energySlots_;
    uint32_t perUnit_ = 1; // channels per unit of the data format
    // the pulse's decay and rise, exp(-i T / tau) at sample i, grown as needed
    std::vector<float> decayShape_, riseShape_;
    std::vector<UnitState> units_;
    std::deque<BoardAggregate> ready_; // framed board aggregates
    // buffers of aggregates already read, for the next ones to encode into
    // without a fresh allocation (and its page faults)
    std::vector<Words> spareWords_;
    size_t spareBytes_ = 0;
    uint32_t aggregateCounter_ = 0;
    uint32_t transferCount_ = 0; // aggregates delivered in the current block transfer
    uint32_t cutWords_ = 0;
    int cutCode_ = 0;
    bool cutPending_ = false;

    // conditions
    bool pllUnlockLatched_ = false;
    bool pllClearArmed_ = false;
    uint64_t overTempMask_ = 0;
    uint64_t shutdownMask_ = 0;
    bool adcShutdown_ = false;
};

// The board object of a profile, of the kind its register map names.
std::shared_ptr<Board> MakeBoard(const Profile& profile);
// The makers the register maps name (ZarnSimBoardKinds.h).
std::shared_ptr<Board> MakeDigitizerBoard(const Profile& profile, const FamilyMap& map);
std::shared_ptr<Board> MakeDeviceBoard(const Profile& profile, const FamilyMap& map);

// ----------------------------------------------------------------- registry

// Open and close. Answers 0 or a ZarnDigitizer code (digitizer open) / a
// ZarnComm code (link open).
int OpenDigitizer(int linkType, const void* linkArg, int node, uint32_t vmeBase, int* handle);
int CloseDigitizer(int handle);
int OpenLink(int linkType, const void* linkArg, int node, uint32_t base, int32_t* link);
int CloseLink(int32_t link);

std::shared_ptr<Board> BoardOfDigitizer(int handle);
std::shared_ptr<Board> BoardOfLink(int32_t link);
std::vector<std::shared_ptr<Board>> OpenBoards();

// Readout buffers handed out by ZARN_DGTZ_MallocReadoutBuffer.
char* AllocateReadoutBuffer(uint32_t bytes);
bool ReadoutBufferSize(const char* buffer, uint32_t* bytes);
bool FreeReadoutBuffer(char* buffer);

// ------------------------------------------------------------------- faults

// Each returns the injected code of the access, 0 for none (and consumes it).
int TakeReadFault(uint32_t address);
int TakeWriteFault(uint32_t address);
int TakeOpenFault();
void SetReadFault(int code);
void SetWriteFault(int code);
void SetAddressFault(uint32_t address, uint32_t nth, int code);
void SetOpenFault(int code);

// Defaults for boards opened later (ZARN_SIM_ALL_BOARDS settings).
struct Defaults {
    bool hasSeed = false;
    uint64_t seed = 0;
    bool hasRate = false;
    double rate = 0;
    bool hasClock = false;
    int clockMode = 0;
};
Defaults GetDefaults();
std::string LastProfileError();
void SetDefaultSeed(uint64_t seed);
void SetDefaultRate(double rate);
void SetDefaultClock(int mode);
void ResetAll();

} // namespace zsim

#endif // ZARN_SIM_BOARD_H
