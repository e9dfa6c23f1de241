// List mode on a board record without a digitizer: the per-cycle listing of
// decoded events, the text and binary list files, the start and stop of list
// output, and commands 35 and 36 called with real request payloads.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "../server/ServerTestSupport.h"
#include "ListFileSupport.h"
#include "SRV_ClientPaths.h"
#include "SRV_CommandTable.h"
#include "SRV_List.h"

using namespace srvtest;

namespace {

const fs::path& logFolder() {
    static TempDir folder;
    return folder.path();
}
const bool logFolderSet = [] {
    setenv("ZARN_LOG_DIR", logFolder().c_str(), 1);
    return true;
}();

const uint32_t TIME_TAG = 1, ENERGY = 2, FLAGS = 4;

c_DPPEvent_t event(uint64_t timeStamp, uint16_t energy, uint32_t flags = 0) {
    c_DPPEvent_t e{};
    e.timeStamp = timeStamp;
    e.energy = energy;
    e.flags = flags;
    return e;
}

// A board record of two channels whose energy spectra have 4096 bins on a
// 14-bit ADC (energies are shifted right by 2 on the bin scale).
class ListModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        board_ = static_cast<SRVBoard_t*>(c_calloc(1, sizeof(SRVBoard_t)));
        ASSERT_NE(board_, nullptr);
        ASSERT_EQ(c_ticket_init(&board_->boardLock), 0);
        // Command 35 takes file names only inside the server's folders.
        setenv(SRV_DATA_FOLDERS_VARIABLE, dir_.path().c_str(), 1);
        std::strcpy(board_->digitizer.descriptor.ModelName, "TEST");
        board_->digitizer.descriptor.NumChannels = 2;
        for (uint32_t ch = 0; ch < 2; ch++) {
            SRVEnergySpectrum_t& spectrum = board_->channels[ch].energySpectra[0];
            spectrum.nbins = &nbins_;
            spectrum.lld = &lld_;
            spectrum.uld = &uld_;
            spectrum.adcBits = 14;
            ASSERT_EQ(SRV_InitListSave(board_, ch, (dir_.path() / ("ch" + std::to_string(ch) + ".dat")).c_str()), 0);
        }
    }
    void TearDown() override {
        for (SRVChannel_t& channel : board_->channels)
            SRV_FreeListSave(&channel.listSave);
        c_ticket_delete(&board_->boardLock);
        c_free(board_);
    }

    SRVListSave_t& list(uint32_t ch = 0) { return board_->channels[ch].listSave; }

    // Enables list mode on a channel with the given output.
    void configure(uint32_t ch, int32_t format, uint32_t fields, uint32_t bufferSize) {
        SRVListSave_t& l = list(ch);
        l.enabled = 1;
        l.format = format;
        l.withTimeTag = (fields & TIME_TAG) != 0;
        l.withEnergy = (fields & ENERGY) != 0;
        l.withFlags = (fields & FLAGS) != 0;
        l.bufferSize = bufferSize;
        SRV_ResizeListBuffers(&l);
    }

    // One readout of the channel, handed to list mode as the board thread does.
    int readout(uint32_t ch, std::vector<c_DPPEvent_t> events) {
        events_[ch] = std::move(events);
        board_->digitizer.channels[ch].events = events_[ch].data();
        board_->digitizer.channels[ch].nEvents = static_cast<uint32_t>(events_[ch].size());
        return handleListMode(board_, ch);
    }

    std::vector<uint64_t> bufferedTimeTags(uint32_t ch = 0) {
        return std::vector<uint64_t>(list(ch).timeTags, list(ch).timeTags + list(ch).count);
    }

    // A command run on a payload as the command loop runs it; the reply's
    // status and fields.
    struct Answer {
        SRVStatus_t status = 0;
        Bytes reply;
    };
    Answer call(SRVCommand_t command, const Bytes& payload) {
        Answer answer;
        uint32_t size = 0;
        void* reply = SRV_RunCommand(SRV_FindCommand(command), board_, payload.data(),
                                     static_cast<uint32_t>(payload.size()), nullptr, &size, &answer.status);
        if (reply != nullptr) {
            const uint8_t* bytes = static_cast<const uint8_t*>(reply);
            answer.reply.assign(bytes, bytes + size);
            c_free(reply);
        }
        return answer;
    }
    static Bytes request(uint64_t mask, int32_t channel) {
        Bytes b;
        putU64(b, mask);
        putU32(b, static_cast<uint32_t>(channel));
        return b;
    }

    SRVBoard_t* board_ = nullptr;
    TempDir dir_;
    double nbins_ = 4096, lld_ = 0, uld_ = 4095;
    std::vector<c_DPPEvent_t> events_[2];
};

// ------------------------------------------------------------- list files

TEST_F(ListModeTest, TextFileHoldsTheSelectedColumnsEachFollowedByATab) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG | FLAGS, 2);
    list().fileName[0] = '\0';
    std::string path = (dir_.path() / "made" / "on" / "start.txt").string();
    std::strcpy(list().fileName, path.c_str());
    ASSERT_EQ(SRV_HandleListSaving(board_, 0xFFFFFFFF, SRV_LIST_ACTION_START), 0);
    EXPECT_EQ(list().saving, 1);
    // The third event stays buffered until the stop writes it.
    EXPECT_EQ(readout(0, {event(100, 40, 0x1), event(250, 80, 0xABCDE0), event(18446744073709551615ull, 9, 0)}), 0);
    EXPECT_EQ(list().count, 1u);
    ASSERT_EQ(SRV_HandleListSaving(board_, 0xFFFFFFFF, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(list().file, nullptr);
    EXPECT_EQ(list().saving, 0);
    EXPECT_EQ(list().count, 0u);
    EXPECT_EQ(readFile(path), "TIMETAG\t\tFLAGS\t\n"
                              "100\t0x00000001\t\n"
                              "250\t0x00ABCDE0\t\n"
                              "18446744073709551615\t0x00000000\t\n");
}

TEST_F(ListModeTest, TextFileWithEveryColumnShowsEnergiesOnTheBinScale) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG | ENERGY | FLAGS, 10);
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    readout(0, {event(7, 16383, 0x80)});
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(readFile(list().fileName), "TIMETAG\t\tENERGY\tFLAGS\t\n7\t4095\t0x00000080\t\n");
}

TEST_F(ListModeTest, BinaryRecordsHoldOnlyTheSelectedFieldsPacked) {
    struct Case {
        uint32_t fields;
        size_t bytesPerEvent;
    } cases[] = {{ENERGY, 2}, {TIME_TAG, 8}, {FLAGS, 4}, {TIME_TAG | ENERGY | FLAGS, 14}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        configure(0, SRV_LIST_FORMAT_BINARY, c.fields, 100);
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
        readout(0, {event(0x0102030405060708ull, 4000, 0xA0B2C3D4), event(9, 12, 0)});
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
        std::string bytes = readFile(list().fileName);
        ASSERT_EQ(bytes.size(), 2 * c.bytesPerEvent);
        Bytes first(bytes.begin(), bytes.begin() + static_cast<long>(c.bytesPerEvent));
        size_t at = 0;
        if (c.fields & TIME_TAG) {
            EXPECT_EQ(getU32(first, at), 0x05060708u);
            EXPECT_EQ(getU32(first, at + 4), 0x01020304u);
            at += 8;
        }
        if (c.fields & ENERGY) {
            EXPECT_EQ(getU16(first, at), 1000u); // 4000 >> 2
            at += 2;
        }
        if (c.fields & FLAGS) {
            EXPECT_EQ(getU32(first, at), 0xA0B2C3D4u);
        }
    }
}

// Full buffers of many events are written in large pieces: every event still
// lands in the file once, in order, whatever the record size, across the
// flushes that full buffers cause and the one at the stop.
TEST_F(ListModeTest, LargeBinaryFlushesKeepEveryEventInOrder) {
    const uint32_t events = 20011; // several full buffers and a partial one
    const uint32_t bufferSize = 9973;
    for (uint32_t fields : {TIME_TAG | ENERGY | FLAGS, ENERGY | FLAGS, ENERGY}) {
        SCOPED_TRACE(fields);
        configure(0, SRV_LIST_FORMAT_BINARY, fields, bufferSize);
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
        std::vector<c_DPPEvent_t> readoutEvents;
        for (uint32_t i = 0; i < events; i++)
            readoutEvents.push_back(event(1000000007ull * i, static_cast<uint16_t>(i % 16384),
                                          (i * 2654435761u) & ~(EVTFLAG_PSEUDO | 0x400u | EVTFLAG_STOP_CRITERION)));
        ASSERT_EQ(readout(0, readoutEvents), 0);
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);

        std::string text = readFile(list().fileName);
        Bytes bytes(text.begin(), text.end());
        size_t recordBytes = ((fields & TIME_TAG) ? 8 : 0) + ((fields & ENERGY) ? 2 : 0) + ((fields & FLAGS) ? 4 : 0);
        ASSERT_EQ(bytes.size(), events * recordBytes);
        for (uint32_t i = 0, at = 0; i < events; i++) {
            const c_DPPEvent_t& e = readoutEvents[i];
            if (fields & TIME_TAG) {
                ASSERT_EQ(getU32(bytes, at) | (uint64_t{getU32(bytes, at + 4)} << 32), e.timeStamp) << i;
                at += 8;
            }
            if (fields & ENERGY) {
                ASSERT_EQ(getU16(bytes, at), e.energy >> 2) << i;
                at += 2;
            }
            if (fields & FLAGS) {
                ASSERT_EQ(getU32(bytes, at), e.flags) << i;
                at += 4;
            }
        }
    }
}

// Each start re-creates the file, so a new acquisition overwrites the last.
TEST_F(ListModeTest, EachStartRecreatesTheFile) {
    configure(0, SRV_LIST_FORMAT_BINARY, ENERGY, 100);
    for (int run = 0; run < 2; run++) {
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
        readout(0, {event(1, 4), event(2, 8), event(3, 12)});
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    }
    EXPECT_EQ(readFile(list().fileName).size(), 6u);
}

// ---------------------------------------------------------- what is listed

TEST_F(ListModeTest, FiltersFollowTheKeepSettingsAndTheSpectrumLevels) {
    lld_ = 100;
    uld_ = 200;
    struct Case {
        const char* name;
        uint8_t keepPseudo, keepFlag400, allEnergies;
        std::vector<uint64_t> listed;
    } cases[] = {
        {"defaults: pseudo events dropped", 0, 1, 1, {2, 3, 4, 5, 6}},
        {"pseudo kept", 1, 1, 1, {1, 2, 3, 4, 5, 6}},
        {"0x400 dropped", 0, 0, 1, {3, 4, 5, 6}},
        {"levels belong to the range", 0, 1, 0, {2, 4, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 100);
        list().count = 0;
        list().keepPseudo = c.keepPseudo;
        list().keepFlag400 = c.keepFlag400;
        list().allEnergies = c.allEnergies;
        // Bin-scale energies (energy >> 2): 150, 150, 99, 100, 200, 201.
        readout(0, {event(1, 600, EVTFLAG_PSEUDO), event(2, 600, 0x400), event(3, 399), event(4, 400), event(5, 803),
                    event(6, 804)});
        EXPECT_EQ(bufferedTimeTags(), c.listed);
    }
}

// The listed energy is the bin the histogram counts the event in, also for a
// bin count that is not a power of two (the shift of its highest power of
// two, not of its trailing zeros).
TEST_F(ListModeTest, ListedEnergiesUseTheHistogramsBinScale) {
    struct Case {
        double nbins;
        uint16_t energy;
        uint16_t listed;
    } cases[] = {
        {4096, 16383, 4095},   {6144, 16383, 4095}, {3000, 16383, 2047}, {1000, 16383, 511},
        {16384, 16383, 16383}, {32768, 9410, 9410}, {12288, 9410, 4705},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "nbins " << c.nbins);
        nbins_ = c.nbins;
        configure(0, SRV_LIST_FORMAT_NONE, ENERGY, 10);
        list().count = 0;
        readout(0, {event(1, c.energy)});
        ASSERT_EQ(list().count, 1u);
        EXPECT_EQ(list().energies[0], c.listed);
    }
}

TEST_F(ListModeTest, NothingIsListedWithoutASelectedFieldOrWhenDisabled) {
    configure(0, SRV_LIST_FORMAT_NONE, 0, 100);
    readout(0, {event(1, 10)});
    EXPECT_EQ(list().count, 0u);
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 100);
    list().enabled = 0;
    readout(0, {event(1, 10)});
    EXPECT_EQ(list().count, 0u);
}

TEST_F(ListModeTest, StopCriterionEventEndsTheListingUntilTheNextStart) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG, 100);
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    readout(0, {event(1, 10), event(2, 10, EVTFLAG_STOP_CRITERION), event(3, 10)});
    EXPECT_EQ(list().stopReached, 1);
    readout(0, {event(4, 10)});
    EXPECT_EQ(bufferedTimeTags(), std::vector<uint64_t>{1});
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(readFile(list().fileName), "TIMETAG\t\t\n1\t\n");
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    EXPECT_EQ(list().stopReached, 0);
    readout(0, {event(5, 10)});
    EXPECT_EQ(list().count, 1u);
    SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP);
}

// Without a file the buffer fills once and waits for command 36; a stop
// keeps it. A channel that is not saving is discarded at the stop.
TEST_F(ListModeTest, BufferWithoutFileKeepsTheFirstEventsUntilFetched) {
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 1000);
    configure(1, SRV_LIST_FORMAT_TEXT, TIME_TAG, 1000);
    list(1).enabled = 0;
    ASSERT_EQ(SRV_HandleListSaving(board_, 0xFFFFFFFF, SRV_LIST_ACTION_START), 0);
    list(1).enabled = 1; // enabled during the acquisition: not saving
    for (int cycle = 0; cycle < 5; cycle++) {
        std::vector<c_DPPEvent_t> events;
        for (int i = 0; i < 1000; i++)
            events.push_back(event(static_cast<uint64_t>(cycle * 1000 + i), 10));
        EXPECT_EQ(readout(0, events), 0);
        EXPECT_EQ(readout(1, events), 0);
    }
    EXPECT_EQ(list(0).count, 1000u);
    EXPECT_EQ(list(0).timeTags[999], 999u);
    EXPECT_EQ(list(1).count, 1000u);
    EXPECT_EQ(list(1).file, nullptr);
    ASSERT_EQ(SRV_HandleListSaving(board_, 0xFFFFFFFF, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(list(0).count, 1000u);
    EXPECT_EQ(list(1).count, 0u);
    EXPECT_FALSE(fs::exists(list(1).fileName));
}

// ------------------------------------------------------- start and stop

TEST_F(ListModeTest, StartRefusesBuffersAboveTheLimit) {
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 65536);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 65537);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), SRV_ERR_BUFFER);
    EXPECT_EQ(list().saving, 0);
    EXPECT_NE(readFile(logFolder() / "SRV_ListLog.txt").find("Too many events to save (65537). Maximum allowed: 65536"),
              std::string::npos);
    // A size no start accepts is never allocated, so it can't exhaust memory.
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 0xFFFFFFFF);
    EXPECT_EQ(list().timeTags, nullptr);
    EXPECT_EQ(readout(0, {event(1, 10)}), 0);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), SRV_ERR_BUFFER);
}

TEST_F(ListModeTest, FileThatCannotBeOpenedFailsTheStartAndNothingCrashes) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG, 2);
    fs::create_directories(dir_.path() / "a-folder");
    std::strcpy(list().fileName, (dir_.path() / "a-folder").c_str()); // a folder is no file
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), SRV_ERR_FILE_OPEN);
    EXPECT_EQ(list().saving, 0);
    EXPECT_EQ(list().file, nullptr);
    EXPECT_EQ(readout(0, {event(1, 10), event(2, 10), event(3, 10)}), 0);
    EXPECT_EQ(list().count, 2u);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(list().count, 0u);

    // A folder that can't be created: a regular file stands in its way.
    std::ofstream(dir_.path() / "plain").put('x');
    std::strcpy(list().fileName, (dir_.path() / "plain" / "list.txt").c_str());
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), SRV_ERR_GENERIC);
    EXPECT_NE(readFile(logFolder() / "SRV_ListLog.txt").find("Cannot create directory path"), std::string::npos);
}

// A folder of the list file's path swapped back and forth for a link to a
// folder outside while starts open the file: every start either writes
// inside or is refused with -30, and the file outside keeps its bytes,
// whenever the swap falls between where the path is judged and where the
// file is opened.
TEST_F(ListModeTest, AFolderSwappedForALinkWhileStartsOpenTheFileNeverLetsOneWriteOutside) {
    const fs::path allowed = dir_.path() / "allowed";
    const fs::path outside = dir_.path() / "outside";
    fs::create_directories(allowed / "lists");
    fs::create_directories(outside);
    std::ofstream(outside / "ch0.txt") << "keep me\n";
    setenv(SRV_DATA_FOLDERS_VARIABLE, allowed.c_str(), 1);
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG, 4);
    std::strcpy(list().fileName, (allowed / "lists" / "ch0.txt").c_str());

    int written = 0, refused = 0;
    {
        FolderSwapper swapper(allowed / "lists", outside);
        for (auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
            SRVStatus_t status = SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START);
            written += status == SRV_SUCCESS;
            refused += status == SRV_ERR_INVALID_FILE_NAME;
            SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP);
            if (readFile(outside / "ch0.txt") != "keep me\n")
                break;
        }
    }
    EXPECT_EQ(readFile(outside / "ch0.txt"), "keep me\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
    // Both sides of the swap were met (the rest found the folder moved away).
    EXPECT_GT(written, 0);
    EXPECT_GT(refused, 0);
}

TEST_F(ListModeTest, UnknownFormatIsRefusedAtTheStartInsteadOfFailingTheCycle) {
    configure(0, 7, TIME_TAG, 1);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), SRV_ERR_LIST_RECORD);
    EXPECT_EQ(list().saving, 0);
    EXPECT_EQ(readout(0, {event(1, 10), event(2, 10)}), 0);
    // A record that saves in an unknown format can't be flushed.
    list().saving = 1;
    EXPECT_EQ(SRV_FlushListEvents(&list()), SRV_ERR_LIST_RECORD);
    list().saving = 0;
}

// A record whose reallocation failed has an array missing: nothing reads or
// writes through it.
TEST_F(ListModeTest, MissingArrayIsNeverUsed) {
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG | FLAGS, 4);
    readout(0, {event(1, 10), event(2, 20)});
    ASSERT_EQ(list().count, 2u);
    c_free(list().flags);
    list().flags = nullptr;
    EXPECT_EQ(readout(0, {event(3, 10)}), 0);
    EXPECT_EQ(list().count, 2u);
    Answer answer = call(SRV_CMD_GET_LIST_PARAMS, request(1u << 9, 0));
    EXPECT_EQ(answer.status, SRV_ERR_SERIALIZE);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), SRV_ERR_BUFFER);
    list().format = SRV_LIST_FORMAT_TEXT;
    list().saving = 1;
    EXPECT_EQ(SRV_FlushListEvents(&list()), SRV_ERR_RESOURCE);
    list().saving = 0;
}

// ----------------------------------------------------------- commands

TEST_F(ListModeTest, SettingsRoundTripThroughCommands35And36) {
    Bytes set = request(0xC3F, 1);
    putU32(set, 5); // enabled: non-zero is 1
    putU32(set, 1); // binary
    std::string name = (dir_.path() / "chosen.bin").string();
    Bytes text(401, 0);
    std::copy(name.begin(), name.end(), text.begin());
    set.insert(set.end(), text.begin(), text.end());
    putU32(set, 6);  // energy and flags
    putU32(set, 1);  // keepPseudo
    putU32(set, 32); // bufferSize
    putU32(set, 0);  // keepFlag400
    putU32(set, 0);  // allEnergies
    Answer answer = call(SRV_CMD_SET_LIST_PARAMS, set);
    ASSERT_EQ(answer.status, 0);
    ASSERT_EQ(answer.reply.size(), 10u);

    answer = call(SRV_CMD_GET_LIST_PARAMS, request(0xC7F, 1));
    ASSERT_EQ(answer.status, 0);
    const Bytes& r = answer.reply;
    ASSERT_EQ(r.size(), 10u + 4 + 4 + 401 + 4 + 4 + 4 + 4 + 4 + 4);
    EXPECT_EQ(getU32(r, 10), 1u);
    EXPECT_EQ(getU32(r, 14), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[18])), name);
    EXPECT_EQ(getU32(r, 419), 6u);
    EXPECT_EQ(getU32(r, 423), 1u);
    EXPECT_EQ(getU32(r, 427), 32u);
    EXPECT_EQ(getU32(r, 431), 0u); // count
    EXPECT_EQ(getU32(r, 435), 0u);
    EXPECT_EQ(getU32(r, 439), 0u);
    EXPECT_EQ(list(1).bufferSize, 32u);
}

TEST_F(ListModeTest, FetchingEventsEmptiesTheBufferAndAnUnknownBitEmptiesNothing) {
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 10);
    readout(0, {event(11, 400, 0x1), event(22, 800, 0x2)});

    Answer refused = call(SRV_CMD_GET_LIST_PARAMS, request((1ull << 12) | 0x3C0, 0));
    EXPECT_EQ(refused.status, SRV_ERR_UNSUPPORTED);
    EXPECT_TRUE(refused.reply.empty());
    EXPECT_EQ(list().count, 2u);

    Answer answer = call(SRV_CMD_GET_LIST_PARAMS, request(0x3C0, 0));
    ASSERT_EQ(answer.status, 0);
    const Bytes& r = answer.reply;
    ASSERT_EQ(r.size(), 10u + 4 + 2 * 8 + 2 * 2 + 2 * 4);
    EXPECT_EQ(getU32(r, 10), 2u);
    EXPECT_EQ(getU32(r, 14), 11u);
    EXPECT_EQ(getU32(r, 22), 22u);
    EXPECT_EQ(getU16(r, 30), 100u);
    EXPECT_EQ(getU16(r, 32), 200u);
    EXPECT_EQ(getU32(r, 34), 1u);
    EXPECT_EQ(getU32(r, 38), 2u);
    EXPECT_EQ(list().count, 0u);
    // The next readouts fill the buffer again.
    readout(0, {event(33, 10)});
    EXPECT_EQ(list().count, 1u);
    // Reading only the count empties nothing.
    EXPECT_EQ(call(SRV_CMD_GET_LIST_PARAMS, request(1u << 6, 0)).status, 0);
    EXPECT_EQ(list().count, 1u);
}

TEST_F(ListModeTest, CommandsRefuseBadRequestsBeforeChangingAnything) {
    struct Case {
        const char* name;
        Bytes payload;
        SRVStatus_t status;
    } cases[] = {
        {"short", Bytes{1, 0, 0}, SRV_ERR_DESERIALIZE},
        {"count is read-only", request(1u << 6, 0), SRV_ERR_UNSUPPORTED},
        {"events are read-only", request((1u << 0) | (1u << 7), 0), SRV_ERR_UNSUPPORTED},
        {"field missing", request(1u << 5, 0), SRV_ERR_DESERIALIZE},
        {"no such channel", request(0, 2), SRV_ERR_UNSUPPORTED},
        {"negative channel", request(0, -1), SRV_ERR_UNSUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes payload = c.payload;
        if (std::string(c.name) == "events are read-only")
            putU32(payload, 1);
        Answer answer = call(SRV_CMD_SET_LIST_PARAMS, payload);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_TRUE(answer.reply.empty());
        EXPECT_EQ(list().enabled, 0);
    }
    EXPECT_EQ(call(SRV_CMD_GET_LIST_PARAMS, request(1, 64)).status, SRV_ERR_UNSUPPORTED);
    EXPECT_EQ(call(SRV_CMD_GET_LIST_PARAMS, Bytes{0, 0}).status, SRV_ERR_DESERIALIZE);
}

Bytes bufferSizeRequest(int32_t channel, uint32_t size) {
    Bytes b;
    putU64(b, 1u << 5);
    putU32(b, static_cast<uint32_t>(channel));
    putU32(b, size);
    return b;
}

// A smaller buffer never drops events: while saving into a file, the events
// it can't hold are written first and the next event that fills the new size
// flushes; without a file they wait for command 36, and the size is refused
// until they are fetched.
TEST_F(ListModeTest, SmallerBufferKeepsTheRecordConsistent) {
    configure(0, SRV_LIST_FORMAT_NONE, TIME_TAG, 10);
    readout(0, {event(1, 10), event(2, 10), event(3, 10), event(4, 10), event(5, 10)});
    EXPECT_EQ(call(SRV_CMD_SET_LIST_PARAMS, bufferSizeRequest(0, 3)).status, SRV_ERR_BUFFER);
    EXPECT_EQ(list().bufferSize, 10u);
    EXPECT_EQ(bufferedTimeTags(), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    ASSERT_EQ(call(SRV_CMD_GET_LIST_PARAMS, request(0x3C0, 0)).status, 0);
    ASSERT_EQ(call(SRV_CMD_SET_LIST_PARAMS, bufferSizeRequest(0, 3)).status, 0);
    EXPECT_EQ(list().bufferSize, 3u);

    configure(1, SRV_LIST_FORMAT_TEXT, TIME_TAG, 10);
    ASSERT_EQ(SRV_HandleListSaving(board_, 2, SRV_LIST_ACTION_START), 0);
    readout(1, {event(1, 10), event(2, 10), event(3, 10), event(4, 10), event(5, 10)});
    ASSERT_EQ(call(SRV_CMD_SET_LIST_PARAMS, bufferSizeRequest(1, 3)).status, 0);
    EXPECT_EQ(list(1).count, 0u);
    readout(1, {event(6, 10), event(7, 10)});
    EXPECT_EQ(list(1).count, 2u);
    readout(1, {event(8, 10)}); // count reaches 3: flushed
    EXPECT_EQ(list(1).count, 0u);
    ASSERT_EQ(SRV_HandleListSaving(board_, 2, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(readFile(list(1).fileName), "TIMETAG\t\t\n1\t\n2\t\n3\t\n4\t\n5\t\n6\t\n7\t\n8\t\n");
}

// A size above the limit while saving would free the buffer under the
// acquisition: refused, with nothing lost, and the channel stops and starts
// as before. Without a file, events waiting for command 36 are kept too.
TEST_F(ListModeTest, BufferAboveTheLimitNeverLosesEventsNorBlocksTheChannel) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG, 10);
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    readout(0, {event(1, 10), event(2, 10), event(3, 10)});
    EXPECT_EQ(call(SRV_CMD_SET_LIST_PARAMS, bufferSizeRequest(0, 65537)).status, SRV_ERR_BUFFER);
    EXPECT_EQ(list().bufferSize, 10u);
    readout(0, {event(4, 10)});
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(list().file, nullptr);
    EXPECT_EQ(readFile(list().fileName), "TIMETAG\t\t\n1\t\n2\t\n3\t\n4\t\n");
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);

    configure(1, SRV_LIST_FORMAT_NONE, TIME_TAG, 10);
    readout(1, {event(7, 10), event(8, 10)});
    EXPECT_EQ(call(SRV_CMD_SET_LIST_PARAMS, bufferSizeRequest(1, 70000)).status, SRV_ERR_BUFFER);
    EXPECT_EQ(bufferedTimeTags(1), (std::vector<uint64_t>{7, 8}));
    // Nothing buffered and not saving: stored, and the start refuses it.
    list(1).count = 0;
    EXPECT_EQ(call(SRV_CMD_SET_LIST_PARAMS, bufferSizeRequest(1, 70000)).status, 0);
    EXPECT_EQ(SRV_HandleListSaving(board_, 2, SRV_LIST_ACTION_START), SRV_ERR_BUFFER);
}

// A stop whose flush fails (an array lost) still ends the output: the file
// is closed and the next start opens a new one.
TEST_F(ListModeTest, StopEndsTheOutputEvenWhenItsFlushFails) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG, 10);
    configure(1, SRV_LIST_FORMAT_TEXT, TIME_TAG, 10);
    ASSERT_EQ(SRV_HandleListSaving(board_, 3, SRV_LIST_ACTION_START), 0);
    readout(0, {event(1, 10)});
    readout(1, {event(2, 10)});
    c_free(list(0).flags);
    list(0).flags = nullptr;
    EXPECT_EQ(SRV_HandleListSaving(board_, 3, SRV_LIST_ACTION_STOP), SRV_ERR_RESOURCE);
    for (uint32_t ch = 0; ch < 2; ch++) {
        EXPECT_EQ(list(ch).saving, 0) << ch;
        EXPECT_EQ(list(ch).file, nullptr) << ch;
    }
    EXPECT_EQ(readFile(list(1).fileName), "TIMETAG\t\t\n2\t\n");
    SRV_ResizeListBuffers(&list(0));
    EXPECT_EQ(SRV_HandleListSaving(board_, 3, SRV_LIST_ACTION_START), 0);
    EXPECT_EQ(SRV_HandleListSaving(board_, 3, SRV_LIST_ACTION_STOP), 0);
}

// Switching the file after a met stop criterion goes on in the new file, and
// still lists nothing more of that acquisition.
TEST_F(ListModeTest, FileSwitchAfterAMetStopCriterionListsNothingMore) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG, 10);
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    readout(0, {event(1, 10), event(2, 10, EVTFLAG_STOP_CRITERION)});
    std::string second = (dir_.path() / "second.txt").string();
    Bytes change = request(1u << 2, 0);
    Bytes text(401, 0);
    std::copy(second.begin(), second.end(), text.begin());
    change.insert(change.end(), text.begin(), text.end());
    ASSERT_EQ(call(SRV_CMD_SET_LIST_PARAMS, change).status, 0);
    EXPECT_EQ(list().saving, 1);
    EXPECT_EQ(list().stopReached, 1);
    readout(0, {event(3, 10)});
    EXPECT_EQ(list().count, 0u);
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(readFile(second), "TIMETAG\t\t\n");
}

// A new format or file name while saving ends the current output with its
// events and goes on in the new one at once.
TEST_F(ListModeTest, NewFileNameWhileSavingSwitchesTheOutput) {
    configure(0, SRV_LIST_FORMAT_TEXT, TIME_TAG, 10);
    std::string first = list().fileName;
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    readout(0, {event(1, 10), event(2, 10)});
    std::string second = (dir_.path() / "second.bin").string();
    Bytes change = request((1u << 1) | (1u << 2), 0);
    putU32(change, SRV_LIST_FORMAT_BINARY);
    Bytes text(401, 0);
    std::copy(second.begin(), second.end(), text.begin());
    change.insert(change.end(), text.begin(), text.end());
    ASSERT_EQ(call(SRV_CMD_SET_LIST_PARAMS, change).status, 0);
    EXPECT_EQ(list().saving, 1);
    readout(0, {event(3, 10)});
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(readFile(first), "TIMETAG\t\t\n1\t\n2\t\n");
    EXPECT_EQ(readFile(second).size(), 8u);
}

// ------------------------------------------------------------ full disk

// A file-size limit on this process stands for a full disk: a write beyond
// it fails with EFBIG (SIGXFSZ ignored), until the limit is lifted.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        set_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { lift(); }
    bool set() const { return set_; }
    void lift() {
        if (set_)
            setrlimit(RLIMIT_FSIZE, &previous_);
        set_ = false;
    }

private:
    rlimit previous_{};
    bool set_ = false;
};

// The events of the list file, each as the text or binary record that holds
// all three fields; false when the file holds anything else (a cut record).
bool parseListFile(const std::string& bytes, int32_t format, std::vector<c_DPPEvent_t>* events) {
    events->clear();
    if (format == SRV_LIST_FORMAT_BINARY) {
        if (bytes.size() % 14 != 0)
            return false;
        for (size_t at = 0; at < bytes.size(); at += 14) {
            c_DPPEvent_t e{};
            std::memcpy(&e.timeStamp, bytes.data() + at, 8);
            std::memcpy(&e.energy, bytes.data() + at + 8, 2);
            std::memcpy(&e.flags, bytes.data() + at + 10, 4);
            events->push_back(e);
        }
        return true;
    }
    std::vector<listtest::ListedEvent> listed;
    if (!listtest::parseTextListFile(bytes, &listed))
        return false;
    for (const listtest::ListedEvent& e : listed)
        events->push_back(event(e.timeTag, e.energy, e.flags));
    return true;
}

// A disk that fills while the list file is written: in a full buffer's flush
// during the run, in the stop's flush, or with the header line of the start.
// The file then holds whole records only, every one an event of the run in
// order; the events that did not reach it stay buffered, none twice and none
// skipped, until the stop, which answers the failure; the log names the file
// and the reason. The next start, with room again, lists as before.
TEST_F(ListModeTest, AFullDiskLeavesWholeEventsAndTheStopAnswersTheFailure) {
    struct Case {
        const char* name;
        int32_t format;
        uint32_t bufferSize;
        rlim_t limit;
        bool startFails;
    } cases[] = {
        {"text, in the cycle's flush", SRV_LIST_FORMAT_TEXT, 100, 5000, false},
        {"binary, in the cycle's flush", SRV_LIST_FORMAT_BINARY, 100, 2000, false},
        {"text, in the stop's flush", SRV_LIST_FORMAT_TEXT, 1000, 5000, false},
        {"binary, in the stop's flush", SRV_LIST_FORMAT_BINARY, 1000, 2000, false},
        {"text, in the header", SRV_LIST_FORMAT_TEXT, 100, 10, true},
    };
    std::vector<c_DPPEvent_t> produced;
    for (uint32_t i = 0; i < 400; i++)
        produced.push_back(event(1000000007ull * (i + 1), static_cast<uint16_t>((i * 977) % 16384),
                                 i * 2654435761u & ~(EVTFLAG_PSEUDO | 0x400u | EVTFLAG_STOP_CRITERION)));
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = (dir_.path() / ("full" + std::to_string(run++) + ".dat")).string();
        configure(0, c.format, TIME_TAG | ENERGY | FLAGS, c.bufferSize);
        list().count = 0;
        std::snprintf(list().fileName, sizeof list().fileName, "%s", file.c_str());
        FileSizeLimit limit(c.limit);
        ASSERT_TRUE(limit.set());
        SRVStatus_t started = SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START);
        if (c.startFails) {
            EXPECT_EQ(started, SRV_ERR_RESOURCE);
            EXPECT_EQ(list().saving, 0);
            EXPECT_EQ(list().file, nullptr);
            EXPECT_EQ(readFile(file), ""); // the cut header is gone too
        } else {
            ASSERT_EQ(started, 0);
            // Four readouts of 100 events; in the cycle cases the first
            // failing flush answers -1, and later readouts list nothing.
            const bool inCycle = c.bufferSize == 100;
            int failures = 0;
            for (uint32_t r = 0; r < 4; r++)
                failures += readout(0, std::vector<c_DPPEvent_t>(produced.begin() + 100 * r,
                                                                 produced.begin() + 100 * (r + 1))) != 0;
            EXPECT_EQ(failures, inCycle ? 1 : 0);
            std::vector<uint64_t> buffered = bufferedTimeTags();
            EXPECT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), SRV_ERR_RESOURCE);
            EXPECT_EQ(list().saving, 0);
            EXPECT_EQ(list().file, nullptr);
            EXPECT_EQ(list().count, 0u);

            std::vector<c_DPPEvent_t> inFile;
            ASSERT_TRUE(parseListFile(readFile(file), c.format, &inFile)) << readFile(file);
            EXPECT_GT(inFile.size(), 0u);
            EXPECT_LE(readFile(file).size(), c.limit);
            for (size_t i = 0; i < inFile.size(); i++) {
                ASSERT_EQ(inFile[i].timeStamp, produced[i].timeStamp) << i;
                ASSERT_EQ(inFile[i].energy, produced[i].energy >> 2) << i;
                ASSERT_EQ(inFile[i].flags, produced[i].flags) << i;
            }
            // In the cycle, the events after the file's last one were held
            // in the buffer until the stop; at the stop, all the rest.
            size_t notWritten = produced.size() - inFile.size();
            if (inCycle) {
                ASSERT_GT(buffered.size(), 0u);
                ASSERT_LE(inFile.size() + buffered.size(), produced.size());
                for (size_t i = 0; i < buffered.size(); i++)
                    ASSERT_EQ(buffered[i], produced[inFile.size() + i].timeStamp) << i;
                notWritten = buffered.size();
            }
            std::string logged = readFile(logFolder() / "SRV_ListLog.txt");
            EXPECT_NE(logged.find("Error saving list events to file. " + file + ": File too large; " +
                                  std::to_string(notWritten) + " events not written"),
                      std::string::npos)
                << logged;
            if (inCycle) {
                EXPECT_NE(readFile(logFolder() / "SRVBoardThreadLog.txt")
                              .find("Error saving list events to file. " + file + ": File too large"),
                          std::string::npos);
            }
        }
        // With room again the next run lists every event.
        limit.lift();
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
        readout(0, {produced[0], produced[1]});
        ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
        std::vector<c_DPPEvent_t> again;
        ASSERT_TRUE(parseListFile(readFile(file), c.format, &again));
        EXPECT_EQ(again.size(), 2u);
    }
}

// A new file named while the old one is full: the answer is the old file's
// failure, and the listing goes on in the new file at once.
TEST_F(ListModeTest, ANewFileAfterAFailedWriteTakesTheListingOn) {
    configure(0, SRV_LIST_FORMAT_BINARY, TIME_TAG, 10);
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_START), 0);
    {
        FileSizeLimit limit(40); // five events
        ASSERT_TRUE(limit.set());
        std::vector<c_DPPEvent_t> events;
        for (uint64_t i = 1; i <= 10; i++)
            events.push_back(event(i, 10));
        EXPECT_EQ(readout(0, events), -1);
        EXPECT_EQ(readFile(list().fileName).size(), 40u);
        EXPECT_EQ(list().count, 5u);
        readout(0, {event(11, 10)});
        EXPECT_EQ(list().count, 5u); // nothing more is listed into a full file
    }
    std::string second = (dir_.path() / "second.bin").string();
    Bytes change = request(1u << 2, 0);
    Bytes text(401, 0);
    std::copy(second.begin(), second.end(), text.begin());
    change.insert(change.end(), text.begin(), text.end());
    EXPECT_EQ(call(SRV_CMD_SET_LIST_PARAMS, change).status, SRV_ERR_RESOURCE);
    EXPECT_EQ(list().saving, 1);
    EXPECT_EQ(std::string(list().fileName), second);
    readout(0, {event(12, 10)});
    ASSERT_EQ(SRV_HandleListSaving(board_, 1, SRV_LIST_ACTION_STOP), 0);
    EXPECT_EQ(readFile(second).size(), 8u);
}

TEST_F(ListModeTest, StartUpDefaults) {
    ASSERT_EQ(SRV_InitListSaves(board_, "TEST_7"), 0);
    for (uint32_t ch = 0; ch < 2; ch++) {
        const SRVListSave_t& l = list(ch);
        EXPECT_EQ(std::string(l.fileName), "TEST_7/ListData_ch0" + std::to_string(ch) + ".dat");
        EXPECT_EQ(l.format, SRV_LIST_FORMAT_NONE);
        EXPECT_EQ(l.enabled, 0);
        EXPECT_EQ(l.keepFlag400, 1);
        EXPECT_EQ(l.allEnergies, 1);
        EXPECT_EQ(l.bufferSize, 0u);
        EXPECT_NE(l.timeTags, nullptr);
    }
    // Enabled, but with no field selected nothing is listed.
    list().enabled = 1;
    list().bufferSize = 4;
    SRV_ResizeListBuffers(&list());
    readout(0, {event(1, 10)});
    EXPECT_EQ(list().count, 0u);
}

} // namespace
