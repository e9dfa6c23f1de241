// Readout queues of the simulated board: events committed by the event
// source are gathered per unit, encoded into unit aggregates by the format's
// encoder, framed into board aggregates and handed out by block reads.
#include "ZarnSimBoard.h"

#include "ZarnComm.h"
#include "ZarnSimulator.h"
#include "ZarnUtility.h"

#include <algorithm>
#include <cstring>

static const c_LogModule_t kLog = {"ZarnSimBoardLog.txt", "ZarnSimBoard"};

namespace zsim {
namespace {

uint32_t PeekThunk(void* board, uint32_t address) { return static_cast<Board*>(board)->Peek(address); }

} // namespace

size_t Board::UnitCapacity() const {
    uint32_t code = Raw(REG_BUFFER_ORGANISATION) & 0xF;
    size_t buffers = code ? (size_t{1} << std::min<uint32_t>(code, 10)) : 1024;
    return std::max<size_t>(buffers, 2);
}

uint32_t Board::AggregatesPerTransfer() const {
    uint32_t n = FieldValue(map->aggregatesPerTransfer, 0);
    return n ? n : 1;
}

uint32_t Board::EventsPerAggregate(uint32_t unit) {
    if (encoder_ && encoder_->eventsPerAggregate)
        return encoder_->eventsPerAggregate(&context_, unit);
    uint32_t n = FieldValue(map->eventsPerAggregate, unit);
    return n ? n : 1;
}

void Board::PrepareContext() {
    context_.board = this;
    context_.readRegister = &PeekThunk;
    context_.dppCode = profile.dppCode;
    context_.dppMinor = profile.dppMinor;
    context_.familyCode = profile.info.FamilyCode;
    context_.channels = channels_;
    context_.adcBits = profile.info.ADC_NBits;
    context_.samplePeriodNs = period_;
    for (uint32_t c = 0; c < channels_; ++c) {
        context_.realTimeTicks[c] = static_cast<uint64_t>(ch_[c].realNs / period_);
        context_.deadTimeTicks[c] = static_cast<uint64_t>(ch_[c].deadNs / period_);
    }
}

// Bytes of read buffers kept for reuse at most.
constexpr size_t kSpareBytes = size_t{16} << 20;

Words Board::TakeWords(size_t count) {
    Words words;
    if (!spareWords_.empty()) {
        words = std::move(spareWords_.back());
        spareWords_.pop_back();
        spareBytes_ -= words.capacity() * sizeof(uint32_t);
    }
    words.resize(count);
    return words;
}

void Board::Recycle(BoardAggregate& aggregate) {
    for (Words& words : aggregate.units) {
        size_t bytes = words.capacity() * sizeof(uint32_t);
        if (spareBytes_ + bytes > kSpareBytes)
            break;
        words.clear();
        spareBytes_ += bytes;
        spareWords_.push_back(std::move(words));
    }
}

void Board::CloseUnit(uint32_t unit) {
    UnitState& u = units_[unit];
    if (u.open.empty())
        return;
    if (!encoder_) {
        u.open.clear();
        u.samples.clear();
        return;
    }
    PrepareContext();
    // the waveforms lie one after the other in the unit's sample store
    size_t offset = 0;
    for (ZarnSim_Event_t& e : u.open) {
        e.waveform = e.samples ? u.samples.data() + offset : nullptr;
        offset += e.samples;
    }
    ZarnSim_Event_t* events = u.open.data();
    uint32_t count = static_cast<uint32_t>(u.open.size());
    uint32_t bound = encoder_->unitAggregateWords(&context_, unit, events, count);
    Words words = TakeWords(bound);
    uint32_t n = bound ? encoder_->encodeUnitAggregate(&context_, unit, events, count, words.data(), bound) : 0;
    u.open.clear();
    u.samples.clear();
    if (n == 0 || n > bound) {
        c_lprintf(&kLog, C_LOG_WARNING, __LINE__, "%s: encoder of DPP code %u dropped %u events of unit %u",
                  profile.name.c_str(), profile.dppCode, count, unit);
        return;
    }
    words.resize(n);
    u.closed.push_back(std::move(words));
}

void Board::CloseAllUnits() {
    for (uint32_t u = 0; u < units_.size(); ++u)
        CloseUnit(u);
}

void BoardAggregate::CopyTo(char* destination, size_t count) const {
    count = std::min(count, words);
    size_t take = std::min<size_t>(count, 4);
    std::memcpy(destination, header, take * sizeof(uint32_t));
    size_t done = take;
    for (const Words& unit : units) {
        if (done == count)
            break;
        take = std::min(count - done, unit.size());
        std::memcpy(destination + 4 * done, unit.data(), take * sizeof(uint32_t));
        done += take;
    }
}

// Frames the closed unit aggregates into board aggregates, the first of
// every unit that has one into each.
void Board::FormAggregates() {
    for (;;) {
        uint64_t mask = 0;
        for (uint32_t u = 0; u < units_.size(); ++u)
            if (!units_[u].closed.empty())
                mask |= 1ull << u;
        if (!mask)
            return;
        BoardAggregate aggregate;
        aggregate.units.reserve(static_cast<size_t>(__builtin_popcountll(mask)));
        for (uint32_t u = 0; u < units_.size(); ++u) {
            if (!(mask & (1ull << u)))
                continue;
            aggregate.words += units_[u].closed.front().size();
            aggregate.units.push_back(std::move(units_[u].closed.front()));
            units_[u].closed.pop_front();
        }
        uint32_t* header = aggregate.header;
        header[0] = 0xA0000000u | (static_cast<uint32_t>(aggregate.words) & 0x0FFFFFFFu);
        header[1] = static_cast<uint32_t>(mask & 0xFF);
        header[2] = (aggregateCounter_++ & 0x7FFFFFu) | (static_cast<uint32_t>((mask >> 8) & 0xFF) << 24);
        header[3] = static_cast<uint32_t>(static_cast<uint64_t>(boardNs_ / period_));
        if (encoder_ && encoder_->finishHeader) {
            PrepareContext();
            encoder_->finishHeader(&context_, header, nullptr);
        }
        ready_.push_back(std::move(aggregate));
    }
}

void Board::CommitTrigger(PendingEvent&& trigger) {
    if (ready_.size() >= UnitCapacity()) {
        ch_[trigger.event.channel].lost++;
        return;
    }
    PrepareContext();
    uint32_t perUnit = encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1;
    BoardAggregate aggregate;
    uint64_t mask = 0;
    for (uint32_t u = 0; u < units_.size(); ++u) {
        std::vector<PendingEvent> events;
        for (uint32_t c = u * perUnit; c < std::min(channels_, (u + 1) * perUnit); ++c) {
            if (!ChannelEnabled(c))
                continue;
            if (c == trigger.event.channel) {
                events.push_back(std::move(trigger));
                continue;
            }
            PendingEvent quiet;
            quiet.event.channel = c;
            quiet.event.timeTag = trigger.event.timeTag;
            quiet.event.fineTime = trigger.event.fineTime;
            quiet.event.flags = ZARN_SIM_EVENT_NO_PULSE;
            MakeWaveform(c, quiet);
            events.push_back(std::move(quiet));
        }
        if (events.empty())
            continue;
        std::vector<ZarnSim_Event_t> pub;
        for (PendingEvent& e : events) {
            e.event.waveform = e.wave.empty() ? nullptr : e.wave.data();
            e.event.samples = static_cast<uint32_t>(e.wave.size());
            pub.push_back(e.event);
        }
        uint32_t count = static_cast<uint32_t>(pub.size());
        uint32_t bound = encoder_->unitAggregateWords(&context_, u, pub.data(), count);
        Words words = TakeWords(bound);
        uint32_t n = bound ? encoder_->encodeUnitAggregate(&context_, u, pub.data(), count, words.data(), bound) : 0;
        if (n == 0 || n > bound)
            continue;
        words.resize(n);
        aggregate.words += n;
        aggregate.units.push_back(std::move(words));
        mask |= 1ull << u;
    }
    uint32_t* header = aggregate.header;
    header[0] = 0xA0000000u | (static_cast<uint32_t>(aggregate.words) & 0x0FFFFFFFu);
    header[1] = static_cast<uint32_t>(mask & 0xFF);
    header[2] = (aggregateCounter_++ & 0x7FFFFFu) | (static_cast<uint32_t>((mask >> 8) & 0xFF) << 24);
    header[3] = static_cast<uint32_t>(trigger.event.timeTag);
    if (encoder_->finishHeader)
        encoder_->finishHeader(&context_, header, &trigger.event);
    ready_.push_back(std::move(aggregate));
}

void Board::Commit(uint32_t channel, PendingEvent&& event) {
    if (!encoder_)
        return; // a format without an encoder yields no data
    // the slots over before a pulse of a slotted channel (as the caller's
    // ReadSetups found it) go out first
    const bool slotted = setup_[channel].slotted && (event.event.flags & ZARN_SIM_EVENT_MCS) == 0;
    if (slotted)
        EndSlotsBefore(channel, event.event.timeTag);
    uint32_t unit = UnitOfChannel(channel);
    if (units_[unit].eventsPerAggregate == 0) { // as the caller's ReadSetups found it
        CommitTrigger(std::move(event));
        return;
    }
    UnitState& u = units_[unit];
    if (u.closed.size() >= UnitCapacity()) {
        ch_[channel].lost++;
        return;
    }
    event.event.samples = static_cast<uint32_t>(event.wave.size());
    event.event.waveform = nullptr;
    u.open.push_back(event.event);
    u.samples.insert(u.samples.end(), event.wave.begin(), event.wave.end());
    if (slotted)
        CountInSlot(channel);
    if (u.open.size() >= u.eventsPerAggregate)
        CloseUnit(unit);
}

bool Board::DataReady() {
    CatchUp();
    if (running_ && FlushesWhenQuiet()) {
        bool closed = !ready_.empty();
        for (const UnitState& u : units_)
            closed = closed || !u.closed.empty();
        if (!closed)
            CloseAllUnits(); // automatic flush of a quiet board
    }
    if (clockMode_ == ZARN_SIM_CLOCK_AS_FAST_AS_READ && running_)
        FastForward();
    FormAggregates();
    return !ready_.empty();
}

int Board::BlockRead(void* destinationBytes, uint32_t maxWords, uint32_t* wordsRead) {
    // the caller's buffer need not be word-aligned: copy bytes
    char* destination = static_cast<char*>(destinationBytes);
    *wordsRead = 0;
    if (ready_.empty())
        DataReady();
    if (cutPending_) {
        cutPending_ = false;
        uint32_t n = 0;
        while (!ready_.empty() && n < std::min(cutWords_, maxWords)) {
            const BoardAggregate& a = ready_.front();
            uint32_t take = std::min<uint32_t>(static_cast<uint32_t>(a.words), std::min(cutWords_, maxWords) - n);
            a.CopyTo(destination + 4 * size_t{n}, take);
            n += take;
            Recycle(ready_.front());
            ready_.pop_front(); // a cut aggregate is lost
        }
        *wordsRead = n;
        transferCount_ = 0;
        return cutCode_;
    }
    // Words handed over per call: a long transfer comes in several calls.
    constexpr uint32_t kWordsPerCall = 0x4000;
    uint32_t limit = AggregatesPerTransfer();
    uint32_t n = 0;
    while (!ready_.empty() && transferCount_ < limit) {
        const BoardAggregate& a = ready_.front();
        uint32_t size = static_cast<uint32_t>(a.words);
        if (size > maxWords - n)
            break;
        if (n > 0 && n + size > kWordsPerCall)
            break;
        a.CopyTo(destination + 4 * size_t{n}, size);
        n += size;
        Recycle(ready_.front());
        ready_.pop_front();
        transferCount_++;
    }
    *wordsRead = n;
    bool more = n > 0 && !ready_.empty() && transferCount_ < limit && ready_.front().words <= maxWords - n;
    if (more)
        return ZARN_COMM_Success;
    if (n == 0 && !ready_.empty() && ready_.front().words > maxWords)
        c_lprintf(&kLog, C_LOG_WARNING, __LINE__,
                  "%s: a board aggregate of %zu words does not fit the %u words of the read", profile.name.c_str(),
                  ready_.front().words, maxWords);
    transferCount_ = 0;
    return ZARN_COMM_NoMoreData;
}

uint32_t Board::ReadoutBufferBytes() {
    uint64_t words = 4;
    uint32_t samplesMax = 0;
    for (uint32_t c = 0; c < channels_; ++c)
        samplesMax = std::max(samplesMax, FieldValue(map->recordLength, c));
    bool waves = !map->waveformEnable.Present() || FieldValue(map->waveformEnable, 0) != 0;
    if (!waves)
        samplesMax = 0;
    samplesMax = std::min<uint32_t>(samplesMax, 1u << 17);
    PrepareContext();
    for (uint32_t u = 0; u < units_.size(); ++u) {
        uint32_t events = EventsPerAggregate(u);
        if (events == 0)
            events = encoder_ && encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1;
        events = std::min<uint32_t>(events, 1024);
        if (encoder_) {
            std::vector<int16_t> wave(samplesMax);
            std::vector<ZarnSim_Event_t> synthetic(events);
            for (ZarnSim_Event_t& e : synthetic) {
                e.channel = u * (encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1);
                e.waveform = samplesMax ? wave.data() : nullptr;
                e.samples = samplesMax;
            }
            words += encoder_->unitAggregateWords(&context_, u, synthetic.data(), events);
        } else {
            words += 2 + static_cast<uint64_t>(events) * (4 + samplesMax);
        }
    }
    uint64_t bytes = words * 4 * AggregatesPerTransfer();
    bytes = std::max<uint64_t>(bytes, 4096);
    bytes = std::min<uint64_t>(bytes, 0x10000000u);
    return static_cast<uint32_t>(bytes);
}

} // namespace zsim
