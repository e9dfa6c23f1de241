// Spectrum files: real SQLite files in a temporary folder, written and read
// back by the server's functions, and files made by hand that hold what a
// damaged or foreign file may hold.
#include <sqlite3.h>

#include <memory>

#include "SRV_ClientPaths.h"
#include "SpectraTestSupport.h"

using namespace spectest;

namespace {

class SpectrumFile : public BoardTest {
protected:
    // Spectrum files are opened only inside the server's folders.
    void SetUp() override {
        setenv(SRV_DATA_FOLDERS_VARIABLE, folder_.path().c_str(), 1);
        BoardTest::SetUp();
    }
    std::string path(const char* name) const { return (folder_.path() / name).string(); }

    // Fills channel 0's spectrum with recognisable values.
    void fill() {
        SRVEnergySpectrum_t* s = spectrum(0);
        for (uint32_t bin = 0; bin < SRV_SPECTRUM_MAX_BINS; bin++)
            s->counts[bin] = bin * 3 + 1;
        s->total = {11, 22, 33, 44, 55, 66};
        s->cycle = {1, 2, 3, 4, 5, 6};
        s->rois[0].entries = 77;
        *s->lld = 12;
        *s->uld = 3456;
        *s->rois[0].low = 100;
        *s->rois[0].high = 200;
    }

    // Runs SQL on a file with the blob of `bytes` bytes (or NULL) bound as ?1.
    void exec(const std::string& file, const std::string& sql, const std::vector<uint8_t>* blob = nullptr) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        if (blob != nullptr)
            sqlite3_bind_blob(statement, 1, blob->data(), static_cast<int>(blob->size()), SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(db);
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }

    std::string timestampOf(const std::string& file) {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT timestamp FROM EnergySpectrum WHERE channel = 0", -1, &statement, nullptr);
        std::string text;
        if (sqlite3_step(statement) == SQLITE_ROW)
            text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return text;
    }

    // The blob of `bins` little-endian u32 values 1000 + bin, plus `extra`
    // bytes.
    static std::vector<uint8_t> bins(size_t bins, size_t extra = 0) {
        std::vector<uint8_t> bytes;
        for (size_t bin = 0; bin < bins; bin++)
            putU32(bytes, static_cast<uint32_t>(1000 + bin));
        bytes.insert(bytes.end(), extra, 0xAB);
        return bytes;
    }

    TempDir folder_;
};

TEST_F(SpectrumFile, WhatIsWrittenIsReadBackWithTheBinCountOfTheBoard) {
    fill();
    *spectrum(0)->nbins = 4096;
    std::string file = path("spectrum_ch00.spe");
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, file.c_str()), SRV_SUCCESS);
    auto saved = std::make_unique<SRVEnergySpectrum_t>(*spectrum(0));

    ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
    *spectrum(0)->lld = 0;
    *spectrum(0)->rois[0].high = 32767;
    spectrum(0)->total.liveTimeNs = 999;
    *spectrum(0)->nbins = 1024;
    ASSERT_EQ(SRV_LoadEnergySpectrum(board_, spectrum(0), 0, file.c_str()), SRV_SUCCESS);

    const SRVEnergySpectrum_t* s = spectrum(0);
    EXPECT_EQ(std::memcmp(s->counts, saved->counts, sizeof s->counts), 0); // all 32,768 bins
    EXPECT_EQ(*s->nbins, 1024.0);
    EXPECT_EQ(s->total.realTimeNs, 22u);
    EXPECT_EQ(s->total.deadTimeNs, 33u);
    EXPECT_EQ(s->total.entries, 44u);
    EXPECT_EQ(s->total.overflows, 55u);
    EXPECT_EQ(s->total.underflows, 66u);
    EXPECT_EQ(s->total.liveTimeNs, 999u); // not stored
    EXPECT_EQ(s->cycle.entries, 0u);
    EXPECT_EQ(s->rois[0].entries, 77u);
    EXPECT_EQ(*s->lld, 12.0);
    EXPECT_EQ(*s->uld, 3456.0);
    EXPECT_EQ(*s->rois[0].low, 100.0);
    EXPECT_EQ(*s->rois[0].high, 200.0);
}

// Other tools read these files by their table and column names: the table is
// created with its exact definition, and each value sits in its own column.
TEST_F(SpectrumFile, TheRowHoldsEachValueInItsNamedColumn) {
    fill();
    *spectrum(0)->nbins = 4096;
    std::string file = path("columns.spe");
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 3, file.c_str()), SRV_SUCCESS);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type = 'table'", -1, &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))),
              "CREATE TABLE EnergySpectrum(channel\t\tINT PRIMARY KEY NOT NULL,timestamp\t\tDATETIME DEFAULT "
              "CURRENT_TIMESTAMP, nbins\t\t\tINT,lld\t\t\tINT,uld\t\t\tINT,roil\t\t\tINT,roih\t\t\tINT,"
              "roinentries\tBIGINT,nentries\t\tBIGINT,realtime_ns\tBIGINT,deadtime_ns\tBIGINT,overflows\t\tINT,"
              "underflows\t\tINT,data\t\t\tBLOB)");
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE); // one table only
    sqlite3_finalize(statement);

    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT channel, nbins, lld, uld, roil, roih, roinentries, nentries, realtime_ns, "
                                 "deadtime_ns, overflows, underflows, length(data), timestamp IS NOT NULL "
                                 "FROM EnergySpectrum",
                                 -1, &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    const int64_t expected[] = {3, 4096, 12, 3456, 100, 200, 77, 44, 22, 33, 55, 66, 131072, 1};
    for (int column = 0; column < 14; column++)
        EXPECT_EQ(sqlite3_column_int64(statement, column), expected[column]) << sqlite3_column_name(statement, column);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE); // one row for the channel
    sqlite3_finalize(statement);
}

TEST_F(SpectrumFile, AnotherWriteUpdatesTheRowAndKeepsItsFirstTimestamp) {
    std::string file = path("twice.spe");
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, file.c_str()), SRV_SUCCESS);
    exec(file, "UPDATE EnergySpectrum SET timestamp = '2001-02-03 04:05:06' WHERE channel = 0");
    fill();
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, file.c_str()), SRV_SUCCESS);
    EXPECT_EQ(timestampOf(file), "2001-02-03 04:05:06");
    ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
    ASSERT_EQ(SRV_LoadEnergySpectrum(board_, spectrum(0), 0, file.c_str()), SRV_SUCCESS);
    EXPECT_EQ(spectrum(0)->total.entries, 44u);
}

// Stored histograms of every length: bins restored from 0, the rest zero,
// never more than the histogram holds.
TEST_F(SpectrumFile, StoredHistogramsOfAnyLengthAreReadSafely) {
    struct Case {
        const char* name;
        std::vector<uint8_t> blob;
        bool null;
        size_t restored;
    } cases[] = {
        {"short", bins(100), false, 100},
        {"short with a partial bin", bins(10, 3), false, 10},
        {"exact", bins(SRV_SPECTRUM_MAX_BINS), false, SRV_SPECTRUM_MAX_BINS},
        {"long", bins(SRV_SPECTRUM_MAX_BINS + 5000, 7), false, SRV_SPECTRUM_MAX_BINS},
        {"empty", {}, false, 0},
        {"missing", {}, true, 0},
    };
    std::string file = path("blobs.spe");
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, file.c_str()), SRV_SUCCESS);
    SRVEnergySpectrum_t* s = spectrum(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.null)
            exec(file, "UPDATE EnergySpectrum SET data = NULL WHERE channel = 0");
        else
            exec(file, "UPDATE EnergySpectrum SET data = ?1 WHERE channel = 0", &c.blob);
        std::fill(std::begin(s->counts), std::end(s->counts), 5u);
        s->gainStabilizer.hist[0][0] = 0.0;
        ASSERT_EQ(SRV_LoadEnergySpectrum(board_, s, 0, file.c_str()), SRV_SUCCESS);
        for (size_t bin = 0; bin < SRV_SPECTRUM_MAX_BINS; bin++) {
            uint32_t expected = bin < c.restored ? static_cast<uint32_t>(1000 + bin) : 0u;
            ASSERT_EQ(s->counts[bin], expected) << "bin " << bin;
        }
        EXPECT_EQ(s->gainStabilizer.hist[0][0], 0.0);
    }
}

TEST_F(SpectrumFile, StoredValuesOutOfRangeDoNotReachTheRecordUnchecked) {
    std::string file = path("range.spe");
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, file.c_str()), SRV_SUCCESS);
    exec(file, "UPDATE EnergySpectrum SET nbins = 99999999, lld = -5, uld = 70000, roil = -1, roih = 2000000000 "
               "WHERE channel = 0");
    ASSERT_EQ(SRV_LoadEnergySpectrum(board_, spectrum(0), 0, file.c_str()), SRV_SUCCESS);
    const SRVEnergySpectrum_t* s = spectrum(0);
    // The bin count is the board's, the levels those their parameters allow.
    EXPECT_EQ(*s->nbins, 16384.0);
    EXPECT_EQ(*s->lld, 0.0);
    EXPECT_EQ(*s->uld, 32767.0);
    EXPECT_EQ(*s->rois[0].low, 0.0);
    EXPECT_EQ(*s->rois[0].high, 32767.0);
    EXPECT_EQ(SRV_SpectrumBinCount(s), 16384u);
}

TEST_F(SpectrumFile, FilesThatCantBeReadLeaveTheRecordAsItWas) {
    fill();
    auto before = std::make_unique<SRVEnergySpectrum_t>(*spectrum(0));
    std::string noRow = path("no_row.spe");
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 3, noRow.c_str()), SRV_SUCCESS);
    std::string garbage = path("garbage.spe");
    {
        std::ofstream out(garbage, std::ios::binary);
        out << std::string(4096, 'x');
    }
    std::string noTable = path("no_table.spe");
    exec(noTable, "CREATE TABLE Other(a INT)");

    struct Case {
        std::string file;
        SRVStatus_t status;
    } cases[] = {
        {path("missing.spe"), SRV_ERR_FILE_OPEN},
        {noRow, SRV_ERR_DATABASE},
        {garbage, SRV_ERR_DATABASE},
        {noTable, SRV_ERR_DATABASE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SRV_LoadEnergySpectrum(board_, spectrum(0), 0, c.file.c_str()), c.status) << c.file;
        EXPECT_EQ(std::memcmp(spectrum(0), before.get(), sizeof *before), 0) << c.file;
    }
    EXPECT_FALSE(fs::exists(path("missing.spe")));
    EXPECT_NE(log("SRV_SpectraLog.txt").find("Error selecting data: "), std::string::npos);
    // A folder that doesn't exist can't receive a file.
    std::string unreachable = path("none/spectrum.spe");
    EXPECT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, unreachable.c_str()), SRV_ERR_FILE_OPEN);
    EXPECT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, garbage.c_str()), SRV_ERR_DATABASE);
}

// A folder of the file's path swapped back and forth for a link to a folder
// outside while spectra are written: SQLite's opens (the file, and its
// journal at every write) go through the folder that was opened, so each
// write lands inside or is refused with -30, and the folder outside keeps
// its one database as it was.
TEST_F(SpectrumFile, AFolderSwappedForALinkWhileSpectraAreWrittenNeverLetsOneWriteOutside) {
    const fs::path allowed = folder_.path() / "allowed", outside = folder_.path() / "outside";
    fs::create_directories(allowed / "spectra");
    fs::create_directories(outside);
    const std::string victim = (outside / "ch0.spe").string();
    exec(victim, "CREATE TABLE Keep(x)");
    const std::string before = readFile(victim);
    setenv(SRV_DATA_FOLDERS_VARIABLE, allowed.c_str(), 1);
    fill();
    const std::string file = (allowed / "spectra" / "ch0.spe").string();

    int written = 0, refused = 0;
    {
        FolderSwapper swapper(allowed / "spectra", outside);
        for (auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
            SRVStatus_t status = SRV_WriteEnergySpectrumFile(spectrum(0), 0, file.c_str());
            written += status == SRV_SUCCESS;
            refused += status == SRV_ERR_INVALID_FILE_NAME;
        }
    }
    EXPECT_TRUE(readFile(victim) == before) << "the database outside was changed";
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
    // Both sides of the swap were met (the rest found the folder moved away).
    EXPECT_GT(written, 0);
    EXPECT_GT(refused, 0);
}

TEST_F(SpectrumFile, StartUpLoadsEveryChannelAndCreatesTheFilesThatAreMissing) {
    uint32_t channels = SRV_ChannelCount(board_);
    ASSERT_GE(channels, 2u);
    fill();
    ASSERT_EQ(SRV_WriteEnergySpectrumFile(spectrum(0), 0, path("spectrum_ch00.spe").c_str()), SRV_SUCCESS);
    ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
    spectrum(1)->counts[7] = 9;

    ASSERT_EQ(SRV_LoadSpectrumFiles(board_, folder_.path().c_str(), nullptr), SRV_SUCCESS);
    for (uint32_t ch = 0; ch < channels; ch++) {
        char name[32];
        std::snprintf(name, sizeof name, "spectrum_ch%02u.spe", ch);
        EXPECT_TRUE(fs::exists(path(name))) << name;
        EXPECT_EQ(std::string(spectrum(ch)->filePath), path(name));
        EXPECT_STREQ(spectrum(ch)->label, "Not set");
    }
    EXPECT_EQ(spectrum(0)->total.entries, 44u);
    EXPECT_EQ(spectrum(0)->counts[5], 16u);
    // A created file holds the spectrum as it was.
    spectrum(1)->counts[7] = 0;
    ASSERT_EQ(SRV_LoadEnergySpectrum(board_, spectrum(1), 1, path("spectrum_ch01.spe").c_str()), SRV_SUCCESS);
    EXPECT_EQ(spectrum(1)->counts[7], 9u);

    // An empty file (its first write was cut short) is written anew.
    { std::ofstream truncate(path("spectrum_ch01.spe"), std::ios::trunc); }
    ASSERT_EQ(SRV_LoadSpectrumFiles(board_, folder_.path().c_str(), nullptr), SRV_SUCCESS);
    spectrum(1)->counts[7] = 0;
    ASSERT_EQ(SRV_LoadEnergySpectrum(board_, spectrum(1), 1, path("spectrum_ch01.spe").c_str()), SRV_SUCCESS);

    // A file that exists but can't be read stops the start-up.
    exec(path("spectrum_ch01.spe"), "DELETE FROM EnergySpectrum");
    EXPECT_EQ(SRV_LoadSpectrumFiles(board_, folder_.path().c_str(), nullptr), SRV_ERR_DATABASE);
    EXPECT_NE(log("MorvaneServerLog.txt").find("Can't create file '" + path("spectrum_ch01.spe") + ".'"),
              std::string::npos);
}

TEST_F(SpectrumFile, ClearingEmptiesTheSpectrumAndTheChannelRunCounters) {
    fill();
    SRVChannel_t* channel = &board_->channels[0];
    channel->realTimeSum = 5;
    channel->deadTimeSum = 6;
    channel->inputCount = 7;
    channel->icrCounts = 8;
    channel->listSave.count = 9;
    std::snprintf(spectrum(0)->label, sizeof spectrum(0)->label, "kept");
    spectrum(0)->period = 1234;
    ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
    EXPECT_EQ(sumOfBins(0), 0u);
    EXPECT_EQ(spectrum(0)->total.entries + spectrum(0)->total.realTimeNs + spectrum(0)->cycle.entries, 0u);
    EXPECT_EQ(spectrum(0)->rois[0].entries, 0u);
    EXPECT_EQ(channel->realTimeSum + channel->deadTimeSum + channel->inputCount + channel->listSave.count, 0u);
    EXPECT_EQ(channel->icrCounts, 0.0);
    EXPECT_STREQ(spectrum(0)->label, "kept");
    EXPECT_EQ(spectrum(0)->period, 1234u);
    EXPECT_EQ(*spectrum(0)->lld, 12.0);
    EXPECT_EQ(SRV_ClearEnergySpectrum(nullptr), SRV_ERR_RESOURCE);
}

} // namespace
