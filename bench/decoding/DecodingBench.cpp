// Decoding speed of the readout: one read's walk over a buffer of board
// aggregates written by the simulated board's encoders, for every decoder:
// the Orlu pulse-height format, the two Pemb couple formats, the two Vesk
// channel formats, the Tilk pulse-shape format and the Draq group format,
// with and without waveforms. Reported: bytes and events decoded per second.
//
// Each format is measured twice: on one read's buffer that stays in the
// cache between iterations, and out of cache, where the same read is laid
// out again and again over at least 64 MiB and walked read by read (the
// event arrays are reused per read, as in the server), so that every byte
// comes from memory the way freshly transferred data does. Beside them a
// memcpy of the same bytes in the same run is the reference row.
#include <benchmark/benchmark.h>

#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimEncoder.h"

extern "C" const ZarnSim_Encoder_t ZarnSim_OrluPHAEncoder, ZarnSim_PembPSDEncoder, ZarnSim_PembPHAEncoder,
    ZarnSim_VeskCIEncoder, ZarnSim_VeskPSDEncoder, ZarnSim_TilkPSDEncoder, ZarnSim_DraqQDCEncoder;

namespace {

constexpr uint32_t kChannels = 8;
/* Bytes that no cache level of the machine holds. */
constexpr size_t kOutOfCacheBytes = size_t{64} << 20;
constexpr uint32_t kWaves = 1u << 16, kExtras = 1u << 17, kTimeTag = 1u << 18, kEnergy = 1u << 19;

bool softwareOnly(const c_ParamRef_t*) { return true; }

uint32_t peek(void* board, uint32_t address) {
    const uint32_t* regs = static_cast<const uint32_t*>(board);
    return address == 0x8000 ? regs[0] : 0; /* extras format 0 on every channel */
}

struct Setup {
    int32_t dppCode;
    uint32_t family;
    double period;
    uint32_t timeTagBits, energyBits;
    const ZarnSim_Encoder_t* encoder;
    uint32_t config;
    uint32_t samples;          /* per waveform; 0 without */
    uint32_t eventsPerUnit;    /* events of one channel (couple) aggregate */
    uint32_t boardAggregates;  /* in one read */
    bool softwareGain = false; /* pulse height without a gain register: dithered rescale */
    uint32_t groups = 0;       /* groups of eight channels (group firmware; 0: none) */
};

/* A record with its buffers and one read's worth of encoded data. */
class Bench {
public:
    explicit Bench(const Setup& s) : d_(new c_Digitizer_t) {
        _resetDgtz(d_);
        d_->kind = DGTZ_KIND_OPEN;
        c_BoardDescriptor_t& b = d_->descriptor;
        strcpy(b.ModelName, "BENCH");
        b.DPPCode = s.dppCode;
        b.DPPMinorRev = 136;
        b.FamilyCode = s.family;
        b.SamplePeriod = s.period;
        b.TimeTagBits = s.timeTagBits;
        b.EnergyBits = s.energyBits;
        b.ADCBits = 14;
        b.NumChannels = b.Channels = kChannels;
        b.NumGroups = s.groups;
        for (uint32_t ch = 0; ch < kChannels; ++ch) {
            add(ch, DPPL_PARAM_CH_ENABLED, 1);
            if (s.softwareGain) {
                add(ch, DPPL_PARAM_CH_TRAP_NORM, 2);
                add(ch, DPPL_PARAM_CH_TDECAY, 3);
                add(ch, DPPL_PARAM_CH_TRAP_TRISE, 1);
            } else {
                add(ch, DPPL_PARAM_CH_GAINREG, 1);
            }
            add(ch, DPPL_PARAM_CH_ACQ_RUN, 1);
            add(ch, DPPL_PARAM_CH_TIME_OFFSET, 3);
        }
        uint32_t perChannel = s.eventsPerUnit * s.boardAggregates;
        _bfixedalloc(d_, 64u << 20, perChannel, perChannel, s.samples ? s.samples : 1);
        if (s.samples == 0)
            for (uint32_t ch = 0; ch < kChannels; ++ch)
                for (uint32_t i = 0; i < perChannel; ++i)
                    _freeWaveforms(&d_->channels[ch].events[i]);
        encode(s);
    }
    ~Bench() {
        _freeDgtzBuffers(d_);
        _freeParamCollections(d_);
        delete d_;
    }
    int walk() { return GENERIC_GetEvents(d_, &d_->roBuffer); }
    uint32_t bytes() const { return d_->roBuffer.ROBytes; }
    uint64_t events() const { return events_; }

    /* Lays the read out `copies` times in one large buffer. */
    void spread(size_t copies) {
        const char* read = d_->roBuffer.ROBuf;
        size_t bytes = d_->roBuffer.ROBytes;
        spread_.resize(copies * bytes);
        for (size_t c = 0; c < copies; ++c)
            memcpy(&spread_[c * bytes], read, bytes);
        copies_ = copies;
    }
    size_t spreadBytes() const { return spread_.size(); }
    /* Every copy in turn, each as one read. */
    int walkSpread() {
        c_ReadoutBuffer_t read = d_->roBuffer;
        for (size_t c = 0; c < copies_; ++c) {
            read.ROBuf = &spread_[c * read.ROBytes];
            int result = GENERIC_GetEvents(d_, &read);
            if (result != 0)
                return result;
        }
        return 0;
    }

private:
    void add(uint32_t ch, int32_t code, double value) {
        if (d_->channels[ch].coll == NULL)
            d_->channels[ch].coll = _pcnew(150, 200);
        c_Parameter_t* p = c_pnew(d_);
        p->code = code;
        p->value = value;
        p->swcheck = softwareOnly;
        _pcinsert(d_->channels[ch].coll, p, code);
    }

    void encode(const Setup& s) {
        uint32_t regs[1] = {s.config};
        ZarnSim_EncoderContext_t ctx{};
        ctx.board = regs;
        ctx.readRegister = peek;
        ctx.dppCode = (uint32_t)s.dppCode;
        ctx.dppMinor = 136;
        ctx.familyCode = s.family;
        ctx.channels = kChannels;
        ctx.adcBits = 14;
        ctx.samplePeriodNs = s.period;
        std::mt19937 rng(1);
        std::vector<int16_t> wave(s.samples);
        for (uint32_t i = 0; i < s.samples; ++i)
            wave[i] = (int16_t)(800 + (i > s.samples / 4 ? 3000 : 0) + rng() % 5);
        const uint32_t perUnit = s.encoder->channelsPerUnit;
        const uint32_t units = kChannels / perUnit;
        std::vector<uint64_t> tags(kChannels, 0);
        std::vector<uint32_t> words;
        for (uint32_t a = 0; a < s.boardAggregates; ++a) {
            size_t header = words.size();
            words.resize(header + 4);
            for (uint32_t u = 0; u < units; ++u) {
                std::vector<ZarnSim_Event_t> events(s.eventsPerUnit);
                for (uint32_t i = 0; i < s.eventsPerUnit; ++i) {
                    ZarnSim_Event_t& e = events[i];
                    e.channel = u * perUnit + i % perUnit;
                    tags[e.channel] += 1000 + rng() % 5000;
                    e.timeTag = tags[e.channel];
                    e.energy = rng() % 16000;
                    e.flags = i % 13 == 0 ? ZARN_SIM_EVENT_PILEUP : 0;
                    e.waveform = s.samples ? wave.data() : nullptr;
                    e.samples = s.samples;
                    e.preTrigger = s.samples / 4;
                }
                uint32_t bound = s.encoder->unitAggregateWords(&ctx, u, events.data(), s.eventsPerUnit);
                size_t at = words.size();
                words.resize(at + bound);
                uint32_t n = s.encoder->encodeUnitAggregate(&ctx, u, events.data(), s.eventsPerUnit, &words[at], bound);
                words.resize(at + n);
                events_ += s.eventsPerUnit;
            }
            words[header] = 0xA0000000u | (uint32_t)(words.size() - header);
            words[header + 1] = (1u << units) - 1;
            words[header + 2] = words[header + 3] = 0;
        }
        c_ReadoutBuffer_t& buffer = d_->roBuffer;
        memcpy(buffer.ROBuf, words.data(), words.size() * 4);
        buffer.ROBytes = (uint32_t)(words.size() * 4);
    }

    c_Digitizer_t* d_;
    uint64_t events_ = 0;
    std::vector<char> spread_;
    size_t copies_ = 0;
};

/* Reads of `bytes` that fill at least the out-of-cache size. */
size_t copiesOutOfCache(size_t bytes) { return (kOutOfCacheBytes + bytes - 1) / bytes; }

void report(benchmark::State& state, double bytes, double events) {
    state.SetBytesProcessed((int64_t)((double)state.iterations() * bytes));
    state.counters["events"] = benchmark::Counter((double)state.iterations() * events, benchmark::Counter::kIsRate);
    state.counters["buffer_KiB"] = bytes / 1024.0;
}

void run(benchmark::State& state, const Setup& s) {
    Bench bench(s);
    if (bench.walk() != 0) {
        state.SkipWithError("the buffer does not decode");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(bench.walk());
    report(state, bench.bytes(), (double)bench.events());
}

void runOutOfCache(benchmark::State& state, const Setup& s) {
    Bench bench(s);
    size_t copies = copiesOutOfCache(bench.bytes());
    bench.spread(copies);
    if (bench.walkSpread() != 0) {
        state.SkipWithError("the buffer does not decode");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(bench.walkSpread());
    report(state, (double)bench.spreadBytes(), (double)bench.events() * (double)copies);
}

/* memcpy of as many bytes as the benchmark of the setup decodes, in cache or
 * out of it: the reference that the decoding rows compare with. */
void runMemcpy(benchmark::State& state, const Setup& s, bool outOfCache) {
    size_t bytes = Bench(s).bytes();
    if (outOfCache)
        bytes *= copiesOutOfCache(bytes);
    std::vector<char> from(bytes, 1), to(bytes, 0);
    for (auto _ : state) {
        memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)((double)state.iterations() * (double)bytes));
    state.counters["buffer_KiB"] = (double)bytes / 1024.0;
}

const Setup kOrlu = {128, 16, 10.0, 30, 15, &ZarnSim_OrluPHAEncoder, kTimeTag | kEnergy, 0, 1023, 8};
const Setup kPsd = {136, 14, 4.0, 31, 15, &ZarnSim_PembPSDEncoder, kTimeTag | kEnergy | kExtras, 0, 1023, 8};
const Setup kPha = {139, 14,   4.0, 31, 14, &ZarnSim_PembPHAEncoder, kTimeTag | kEnergy | kExtras | (1u << 20),
                    0,   1023, 8};
const Setup kVeskPsd = {131, 12, 4.0, 32, 15, &ZarnSim_VeskPSDEncoder, kTimeTag | kEnergy | kExtras, 0, 1023, 8};
const Setup kVeskCi = {130, 12, 4.0, 32, 16, &ZarnSim_VeskCIEncoder, kTimeTag | kEnergy | kExtras, 0, 1023, 8};
const Setup kTilk = {132, 5, 1.0, 32, 15, &ZarnSim_TilkPSDEncoder, kTimeTag | kEnergy | kExtras, 0, 1023, 8};
/* One group of eight channels; every event carries its time tag and charge. */
const Setup kDraq = {135, 4, 16.0, 32, 16, &ZarnSim_DraqQDCEncoder, kExtras, 0, 1023, 8, false, 1};

Setup withWaves(Setup s, uint32_t samples) {
    s.config |= kWaves;
    s.samples = samples;
    s.eventsPerUnit = 64;
    s.boardAggregates = 4;
    return s;
}

Setup softwareGain(Setup s) {
    s.softwareGain = true;
    return s;
}

/* Registers, for one setup, the decoding in cache and out of cache and the
 * memcpy reference of each size. */
void add(const std::string& name, const Setup& s) {
    benchmark::RegisterBenchmark((name + "/in_cache").c_str(), [s](benchmark::State& st) { run(st, s); });
    benchmark::RegisterBenchmark((name + "/in_cache/memcpy_reference").c_str(),
                                 [s](benchmark::State& st) { runMemcpy(st, s, false); });
    benchmark::RegisterBenchmark((name + "/out_of_cache").c_str(), [s](benchmark::State& st) { runOutOfCache(st, s); });
    benchmark::RegisterBenchmark((name + "/out_of_cache/memcpy_reference").c_str(),
                                 [s](benchmark::State& st) { runMemcpy(st, s, true); });
}

/* Every decoder's format, with and without waveforms. */
const bool registered = [] {
    const struct {
        const char* name;
        Setup setup;
    } kCases[] = {
        {"OrluPulseHeight", kOrlu},
        {"OrluPulseHeightSoftwareGain", softwareGain(kOrlu)},
        {"OrluPulseHeightWaveforms", withWaves(kOrlu, 1000)},
        {"PembPulseShape", kPsd},
        {"PembPulseShapeWaveforms", withWaves(kPsd, 1000)},
        {"PembPulseHeight", kPha},
        {"PembPulseHeightWaveforms", withWaves(kPha, 1000)},
        {"VeskPulseShape", kVeskPsd},
        {"VeskPulseShapeWaveforms", withWaves(kVeskPsd, 1000)},
        {"VeskChargeIntegration", kVeskCi},
        {"VeskChargeIntegrationWaveforms", withWaves(kVeskCi, 1000)},
        {"TilkPulseShape", kTilk},
        {"TilkPulseShapeWaveforms", withWaves(kTilk, 1008)}, /* whole units of 12 samples */
        {"DraqCharge", kDraq},
        {"DraqChargeWaveforms", withWaves(kDraq, 1000)},
    };
    for (const auto& c : kCases)
        add(c.name, c.setup);
    return true;
}();

} // namespace

BENCHMARK_MAIN();
