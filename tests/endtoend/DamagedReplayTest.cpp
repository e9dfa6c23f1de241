// A recording with one spoiled data record in its middle, replayed by the
// server on every simulated board that records: the spoiled record costs
// that record alone. Its size is right, so the replay reads on with the
// record after it, and the spectra equal, bin for bin, those of the replay
// of the same recording with that record cut out, and what the library
// decodes of that cut file. A record is spoiled either in its first word
// (the header check fails) or in its content (its board aggregate claims
// more words than the record holds). The loss is not silent: the client's
// next stop answers -34, once, and the library's log names the record by
// its offset and counts it.
#include <gtest/gtest.h>

#include <cstring>

#include "EndToEndSupport.h"
#include "ZarnROBuffDumper.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t FILE_READ = -34;

// A raw-data file cut into its header and its data records (each with its
// size word), as the bytes stand.
struct RecordedFile {
    std::string header;
    std::vector<std::string> records;

    explicit RecordedFile(const fs::path& path) {
        std::string bytes = readFile(path);
        c_ROBuffDumper_t reader{};
        c_RawDataHeader_t parsed{};
        EXPECT_EQ(c_bdopenr(&reader, &parsed, path.c_str()), 0) << path;
        size_t at = static_cast<size_t>(ftello(reader.file));
        c_bdclose(&reader);
        c_bdfreeheader(&parsed);
        header = bytes.substr(0, at);
        while (at + 4 <= bytes.size()) {
            uint32_t size = 0;
            std::memcpy(&size, &bytes[at], 4);
            records.push_back(bytes.substr(at, 4 + size));
            at += 4 + size;
        }
    }
    // The file with record `index` replaced (an empty text cuts it out).
    std::string with(size_t index, const std::string& record) const {
        std::string out = header;
        for (size_t i = 0; i < records.size(); i++)
            out += i == index ? record : records[i];
        return out;
    }
    size_t offsetOf(size_t index) const {
        size_t at = header.size();
        for (size_t i = 0; i < index; i++)
            at += records[i].size();
        return at;
    }
};

std::string withFirstWord(std::string record, uint32_t word) {
    std::memcpy(&record[4], &word, 4);
    return record;
}

class DamagedReplay : public ServerOnBoard {
protected:
    void SetUp() override { startServer(); }

    // Records a short run into "run.zrn" and returns its file.
    fs::path recordRun() {
        EXPECT_EQ(status(SET_RUN_FILE, runFileName("run.zrn")), SUCCESS);
        if (GetParam().waveformsOnly) {
            EXPECT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
        }
        EXPECT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        return recordedFile("run.zrn");
    }
    // Replays bytes as the recording `name` to its end: the spectra the
    // client then receives, and the status of the stop after it.
    std::vector<Spectrum> replay(const std::string& name, const std::string& bytes, const Recorded& expected,
                                 int16_t* stopStatus) {
        const fs::path rawData = server_->workDir() / "Run" / (name + ".dat");
        std::ofstream(rawData, std::ios::binary) << bytes;
        std::ofstream(server_->workDir() / "Run" / (name + ".zrn"))
            << GetParam().model << "_" << GetParam().serial << " Run/" << name << ".dat\n";
        EXPECT_EQ(status(LOAD_RUN_FILE, fixedText(name + ".zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
        const uint32_t channels = GetParam().waveformsOnly ? 0 : GetParam().channels;
        for (uint32_t ch = 0; ch < channels; ch++)
            EXPECT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
        EXPECT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        // The end of the file: every event of the records it holds whole.
        EXPECT_TRUE(waitFor(
            [&] {
                for (uint32_t ch = 0; ch < channels; ch++)
                    if (spectrum(ch).histogrammed() < expected.histogrammable[ch])
                        return false;
                return true;
            },
            30000ms))
            << name;
        std::this_thread::sleep_for(300ms); // nothing more may come
        std::vector<Spectrum> spectra;
        for (uint32_t ch = 0; ch < channels; ch++)
            spectra.push_back(spectrum(ch));
        *stopStatus = status(STOP, acquisitionRequest(allChannels()));
        return spectra;
    }
};

TEST_P(DamagedReplay, ASpoiledRecordCostsThatRecordAlone) {
    const BoardCase& board = GetParam();
    const RecordedFile recorded(recordRun());
    ASSERT_GE(recorded.records.size(), 3u) << "the run recorded too little";
    const size_t spoiled = recorded.records.size() / 2;
    const std::string& record = recorded.records[spoiled];
    const uint32_t recordWords = static_cast<uint32_t>((record.size() - 4) / 4);

    // The reference: the recording without the record, as the library
    // decodes it and as the server replays it.
    const fs::path cutFile = server_->workDir() / "cut-reference.dat";
    std::ofstream(cutFile, std::ios::binary) << recorded.with(spoiled, "");
    const Recorded cut = decodeRunFile(cutFile, board.channels);
    int16_t stopped = 0;
    const std::vector<Spectrum> reference = replay("cut", recorded.with(spoiled, ""), cut, &stopped);
    EXPECT_EQ(stopped, SUCCESS) << "an intact recording replays with no failure";
    for (uint32_t ch = 0; ch < reference.size(); ch++)
        EXPECT_EQ(reference[ch].histogrammed(), cut.histogrammable[ch]) << "channel " << ch;

    const struct {
        const char* name;
        std::string record;
    } cases[] = {
        {"first-word", withFirstWord(record, 0)},
        {"aggregate", withFirstWord(record, 0xA0000000u | (recordWords + 1))},
    };
    const std::string offset = std::to_string(recorded.offsetOf(spoiled));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Spectrum> got = replay(c.name, recorded.with(spoiled, c.record), cut, &stopped);
        EXPECT_EQ(stopped, FILE_READ) << boardLog().substr(0, 4000);
        EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << "the loss is answered once";
        ASSERT_EQ(got.size(), reference.size());
        for (uint32_t ch = 0; ch < got.size(); ch++)
            EXPECT_TRUE(got[ch] == reference[ch]) << "channel " << ch << ": " << got[ch].histogrammed() << " of "
                                                  << reference[ch].histogrammed() << " events";
        const std::string log = server_->log("ZarnROBuffDumperLog.txt");
        const std::string file = std::string(c.name) + ".dat";
        EXPECT_NE(log.find(file + " skips the data record at byte " + offset + ":"), std::string::npos) << log;
        EXPECT_NE(log.find("1 damaged data record of "), std::string::npos) << log;
        EXPECT_NE(log.find(file + " not replayed, at byte " + offset + "."), std::string::npos) << log;
        EXPECT_EQ(log.find(file + " ends"), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, DamagedReplay, ::testing::ValuesIn(kBoards), caseName);

} // namespace
