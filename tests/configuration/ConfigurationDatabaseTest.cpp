// The configuration database over TCP: save, load, list and delete of named
// configurations and the database path (commands 31 to 34 and 55) against the
// server process on the simulated board, the "__default" rewrite and the
// re-applied save at start-up, and the database file itself, read and
// written through SQLite beside the server.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <memory>

#include "../server_commands/CommandTestSupport.h"

using namespace cmdtest;
namespace fs = std::filesystem;

namespace {

using namespace srvtest::command;
// Server codes of the shipped definitions.
enum : int32_t { kPolarity = 1001, kThreshold = 1009, kPpmc = 4007, kVoltageSet = 3100 };
constexpr size_t kPathField = 401;

// -------------------------------------------------------- the database file

// The database file opened beside the server (which keeps no connection open).
class Database {
public:
    explicit Database(const fs::path& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "can't open " << path;
    }
    ~Database() { sqlite3_close(db_); }

    // The rows of a query, each column as text ("NULL" for NULL), with the
    // texts bound to its parameters in order.
    std::vector<std::vector<std::string>> rows(const std::string& sql, std::vector<std::string> binds = {}) {
        std::vector<std::vector<std::string>> out;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return out;
        }
        for (size_t i = 0; i < binds.size(); i++)
            sqlite3_bind_text(statement, static_cast<int>(i + 1), binds[i].c_str(), -1, SQLITE_TRANSIENT);
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(statement); c++) {
                const unsigned char* text = sqlite3_column_text(statement, c);
                row.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
            }
            out.push_back(row);
        }
        EXPECT_EQ(step, SQLITE_DONE) << sql << ": " << sqlite3_errmsg(db_);
        sqlite3_finalize(statement);
        return out;
    }
    std::string one(const std::string& sql, std::vector<std::string> binds = {}) {
        auto all = rows(sql, std::move(binds));
        return all.empty() || all[0].empty() ? "" : all[0][0];
    }
    void exec(const std::string& sql) {
        char* error = nullptr;
        EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << sql << ": " << error;
        sqlite3_free(error);
    }
    // The stored value of one parameter of a save.
    std::string value(const std::string& save, int type, int id1, const std::string& codename) {
        return one("SELECT Parameters.value FROM Parameters JOIN Saves USING (saveid) WHERE savename=? AND "
                   "parenttype=? AND parentid1=? AND paramcodename=?",
                   {save, std::to_string(type), std::to_string(id1), codename});
    }

private:
    sqlite3* db_ = nullptr;
};

// --------------------------------------------------------------- the server

struct Listing {
    int16_t status = -1;
    uint32_t count = 0;
    std::vector<std::string> names;
};

// A server process on a working folder that outlives it, with one client.
class Server {
public:
    explicit Server(const fs::path& work, std::vector<std::string> options = {},
                    std::map<std::string, std::string> environment = {}) {
        uint16_t port = srvtest::freePort();
        options.insert(options.begin(), {"-p", std::to_string(port)});
        environment["ZARNWORKINGDIR"] = work.string();
        process_ = std::make_unique<srvtest::ServerProcess>(options, environment);
        if (process_->waitReady())
            client_ = std::make_unique<srvtest::Client>(port);
    }
    bool ready() const { return client_ != nullptr && client_->connected(); }
    std::string log(const std::string& file = "SRV_ConfigurationManagementLog.txt") const {
        return process_->log(file);
    }

    Bytes request(uint16_t command, const Bytes& payload) {
        std::optional<srvtest::Reply> reply = client_->request(command, payload);
        if (!reply) {
            ADD_FAILURE() << "no reply to command " << command;
            return Bytes{0xFF, 0x7F};
        }
        EXPECT_EQ(reply->command, command);
        return reply->payload;
    }
    // The status of a request whose reply must hold nothing else.
    int16_t statusOf(uint16_t command, const Bytes& payload) {
        Bytes reply = request(command, payload);
        EXPECT_EQ(reply.size(), 2u) << "command " << command;
        return Reader(reply).status();
    }

    int16_t save(const std::string& name) { return statusOf(SAVE_CONFIGURATION, maskRequest(0x1, 0).text(name)); }
    int16_t load(const std::string& name, std::optional<uint32_t> includeHV = std::nullopt) {
        Request r = maskRequest(includeHV ? 0x11 : 0x1, 0);
        r.text(name);
        if (includeHV)
            r.u32(*includeHV);
        return statusOf(LOAD_CONFIGURATION, r);
    }
    int16_t remove(const std::string& name) { return statusOf(DELETE_CONFIGURATION, maskRequest(0x1, 0).text(name)); }
    Listing list(uint32_t offset = 0) {
        Reader r(request(LIST_CONFIGURATIONS, maskRequest(0x2, 0xC).u32(offset)));
        Listing listing;
        listing.status = r.status();
        if (listing.status != 0)
            return listing;
        listing.count = r.u32();
        EXPECT_EQ(r.u32(), listing.count);
        for (uint32_t i = 0; i < listing.count; i++)
            listing.names.push_back(r.text());
        EXPECT_EQ(r.left(), 0u);
        return listing;
    }
    std::string databasePath() {
        Reader r(request(DATABASE_PATH, maskRequest(0, 0x20)));
        EXPECT_EQ(r.status(), 0);
        return r.status() == 0 ? r.text(kPathField) : "";
    }
    int16_t setDatabasePath(const std::string& path) {
        return statusOf(DATABASE_PATH, maskRequest(0x20, 0).text(path, kPathField));
    }

    int16_t set(std::initializer_list<int32_t> path, double value) {
        return statusOf(SET_PARAMETER, parameterRequest(0x1, path).f64(value));
    }
    double get(std::initializer_list<int32_t> path) {
        Reader r(request(GET_PARAMETER, parameterRequest(0x1, path)));
        EXPECT_EQ(r.status(), 0);
        return r.status() == 0 ? r.f64() : -12345;
    }

    // Command 25, then a clean end of the process (the sanitizers report
    // leaks and faults through the exit code).
    void quit() {
        EXPECT_EQ(statusOf(QUIT, maskRequest(0, 0)), 0);
        EXPECT_EQ(process_->waitExit(std::chrono::milliseconds(30000)), std::optional<int>(0)) << process_->output();
    }

private:
    std::unique_ptr<srvtest::ServerProcess> process_;
    std::unique_ptr<srvtest::Client> client_;
};

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// One server on the default board (8 channels, no high voltage) for a suite.
class ConfigurationCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = new srvtest::TempDir();
        server_ = new Server(work_->path());
    }
    static void TearDownTestSuite() {
        if (server_ != nullptr && server_->ready())
            server_->quit();
        delete server_;
        server_ = nullptr;
        delete work_;
        work_ = nullptr;
    }
    void SetUp() override {
        if (server_ == nullptr || !server_->ready())
            GTEST_SKIP() << "the server did not start";
    }
    static fs::path databaseFile() { return work_->path() / "OR5780_1101" / "boardconfig.info"; }

    static inline srvtest::TempDir* work_ = nullptr;
    static inline Server* server_ = nullptr;
};

TEST_F(ConfigurationCommands, LoadBringsBackTheSavedValues) {
    Server& s = *server_;
    ASSERT_EQ(s.set({3, kChannel, kThreshold, kCode}, 250), 0);
    ASSERT_EQ(s.set({2, kChannel, kPolarity, kCode}, 1), 0);
    ASSERT_EQ(s.set({5, kChannel, 0, kSpectrum, kPpmc, kCode}, 0.0000004), 0);
    ASSERT_EQ(s.set({6, kChannel, 0, kSpectrum, kPpmc, kCode}, 12.25), 0);
    ASSERT_EQ(s.save("alpha"), 0);

    ASSERT_EQ(s.set({3, kChannel, kThreshold, kCode}, 400), 0);
    ASSERT_EQ(s.set({2, kChannel, kPolarity, kCode}, 0), 0);
    ASSERT_EQ(s.set({6, kChannel, 0, kSpectrum, kPpmc, kCode}, 3), 0);
    ASSERT_EQ(s.load("alpha"), 0);
    EXPECT_EQ(s.get({3, kChannel, kThreshold, kCode}), 250);
    EXPECT_EQ(s.get({2, kChannel, kPolarity, kCode}), 1);
    EXPECT_EQ(s.get({6, kChannel, 0, kSpectrum, kPpmc, kCode}), 12.25);
    // Values keep six digits after the decimal point.
    EXPECT_EQ(s.get({5, kChannel, 0, kSpectrum, kPpmc, kCode}), 0);

    // The file holds the rows, addressed by object and code name.
    Database db(databaseFile());
    EXPECT_EQ(db.value("alpha", 2, 3, "PARAM_CH_THRESHOLD"), "250.0");
    EXPECT_EQ(db.value("alpha", 9, 5, "PARAM_ENERGY_SPECTRUM_GSTAB_PPMC"), "0.0");
    EXPECT_EQ(db.one("SELECT parentid2 FROM Parameters JOIN Saves USING (saveid) WHERE savename='alpha' AND "
                     "parenttype=11 AND parentid1=7"),
              "0");
    // Board first, then per channel the channel, its spectrum and its ROI.
    auto order = db.rows("SELECT parenttype, parentid1 FROM Parameters JOIN Saves USING (saveid) WHERE "
                         "savename='alpha' GROUP BY parenttype, parentid1 ORDER BY MIN(Parameters.rowid) LIMIT 5");
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[0], (std::vector<std::string>{"1", "0"}));
    EXPECT_EQ(order[1], (std::vector<std::string>{"2", "0"}));
    EXPECT_EQ(order[2], (std::vector<std::string>{"9", "0"}));
    EXPECT_EQ(order[3], (std::vector<std::string>{"11", "0"}));
    EXPECT_EQ(order[4], (std::vector<std::string>{"2", "1"}));
    EXPECT_NE(s.log().find("Save 'alpha' correctly loaded."), std::string::npos);
}

TEST_F(ConfigurationCommands, ASavedNameCannotBeSavedAgain) {
    Server& s = *server_;
    ASSERT_EQ(s.set({1, kChannel, kThreshold, kCode}, 111), 0);
    ASSERT_EQ(s.save("twice"), 0);
    ASSERT_EQ(s.set({1, kChannel, kThreshold, kCode}, 222), 0);
    EXPECT_EQ(s.save("twice"), -43);
    Database db(databaseFile());
    EXPECT_EQ(db.one("SELECT COUNT(*) FROM Saves WHERE savename='twice'"), "1");
    EXPECT_EQ(db.value("twice", 2, 1, "PARAM_CH_THRESHOLD"), "111.0");
    // The failed save left no rows behind: every row belongs to a save.
    EXPECT_EQ(db.one("SELECT COUNT(*) FROM Parameters WHERE saveid NOT IN (SELECT saveid FROM Saves)"), "0");
    EXPECT_NE(s.log().find("Can't create new save with name 'twice'"), std::string::npos);
}

TEST_F(ConfigurationCommands, NamesAreStoredAsTheyCameAndNeverRunAsSQL) {
    Server& s = *server_;
    const std::string names[] = {
        "it's",
        "x'); DROP TABLE Saves; --",
        "a' OR savename!='",
        "\"; DELETE FROM Parameters; SELECT \"",
        "semi;colon;name",
    };
    Database db(databaseFile());
    int rowsBefore = std::stoi(db.one("SELECT COUNT(*) FROM Parameters"));
    for (const std::string& name : names)
        ASSERT_EQ(s.save(name), 0) << name;
    Listing listing = s.list();
    ASSERT_EQ(listing.status, 0);
    for (const std::string& name : names) {
        EXPECT_TRUE(contains(listing.names, name)) << name;
        EXPECT_EQ(db.one("SELECT COUNT(*) FROM Saves WHERE savename=?", {name}), "1") << name;
        EXPECT_EQ(s.load(name), 0) << name;
    }
    EXPECT_GT(std::stoi(db.one("SELECT COUNT(*) FROM Parameters")), rowsBefore);

    // A delete of one of them takes only that one.
    ASSERT_EQ(s.remove("a' OR savename!='"), 0);
    listing = s.list();
    EXPECT_FALSE(contains(listing.names, "a' OR savename!='"));
    EXPECT_TRUE(contains(listing.names, "it's"));
    EXPECT_TRUE(contains(listing.names, "__default"));
    EXPECT_TRUE(contains(listing.names, "x'); DROP TABLE Saves; --"));
}

TEST_F(ConfigurationCommands, NamesWithoutATerminatorKeepTheirFirst47Characters) {
    Server& s = *server_;
    const std::string full(kText, 'N'); // the whole field, no NUL
    ASSERT_EQ(s.save(full), 0);
    Listing listing = s.list();
    ASSERT_EQ(listing.status, 0);
    EXPECT_TRUE(contains(listing.names, std::string(47, 'N')));
    EXPECT_EQ(s.load(full), 0);
    EXPECT_EQ(s.load(std::string(47, 'N')), 0);
    EXPECT_EQ(s.remove(full), 0);
    EXPECT_FALSE(contains(s.list().names, std::string(47, 'N')));
}

TEST_F(ConfigurationCommands, DeleteTakesTheSaveWithItsRows) {
    Server& s = *server_;
    ASSERT_EQ(s.save("gone"), 0);
    Database db(databaseFile());
    std::string id = db.one("SELECT saveid FROM Saves WHERE savename='gone'");
    ASSERT_NE(id, "");
    ASSERT_NE(db.one("SELECT COUNT(*) FROM Parameters WHERE saveid=" + id), "0");

    ASSERT_EQ(s.remove("gone"), 0);
    EXPECT_EQ(db.one("SELECT COUNT(*) FROM Saves WHERE savename='gone'"), "0");
    EXPECT_EQ(db.one("SELECT COUNT(*) FROM Parameters WHERE saveid=" + id), "0");
    EXPECT_FALSE(contains(s.list().names, "gone"));
    EXPECT_EQ(s.load("gone"), -43);
    EXPECT_NE(s.log().find("No save named 'gone' found."), std::string::npos);
    // A name that does not exist is no failure.
    EXPECT_EQ(s.remove("never-saved"), 0);
}

TEST_F(ConfigurationCommands, RowsTheBoardCannotTakeAreSkippedOrStopTheLoad) {
    Server& s = *server_;
    Database db(databaseFile());
    // Written by another board or another server version: a channel this board
    // lacks, a code name it does not define, an object kind that is not saved.
    db.exec("INSERT INTO Saves(savename) VALUES ('foreign')");
    std::string id = db.one("SELECT saveid FROM Saves WHERE savename='foreign'");
    db.exec("INSERT INTO Parameters VALUES (" + id +
            ", 2, 12, 0, 0, 0, 'PARAM_CH_THRESHOLD', 77),"
            " (" +
            id +
            ", 1, 0, 0, 0, 0, 'PARAM_NOT_THERE', 1),"
            " (" +
            id +
            ", 16, 0, 0, 0, 0, 'PARAM_DT_SPECTRUM_NBINS', 100),"
            " (" +
            id +
            ", 2, 4294967296, 0, 0, 0, 'PARAM_CH_THRESHOLD', 78),"
            " (" +
            id + ", 2, 0, 0, 0, 0, 'PARAM_CH_THRESHOLD', 77)");
    EXPECT_EQ(s.load("foreign"), 0);
    EXPECT_EQ(s.get({0, kChannel, kThreshold, kCode}), 77);
    std::string log = s.log();
    EXPECT_NE(log.find("Parameter codename 'PARAM_NOT_THERE' not found."), std::string::npos);
    EXPECT_NE(log.find("Parent type '16' not valid."), std::string::npos);
    EXPECT_NE(s.log("SRV_CommonLog.txt").find("Invalid channel '12'. Can't find parameter '1009'."), std::string::npos);

    // A value the board refuses stops the load; what came before stays set.
    ASSERT_EQ(s.set({1, kChannel, kThreshold, kCode}, 10), 0);
    db.exec("INSERT INTO Saves(savename) VALUES ('refused')");
    id = db.one("SELECT saveid FROM Saves WHERE savename='refused'");
    db.exec("INSERT INTO Parameters VALUES (" + id +
            ", 2, 0, 0, 0, 0, 'PARAM_CH_THRESHOLD', 55),"
            " (" +
            id +
            ", 2, 0, 0, 0, 0, 'PARAM_CH_POLARITY', 7),"
            " (" +
            id + ", 2, 1, 0, 0, 0, 'PARAM_CH_THRESHOLD', 66)");
    EXPECT_EQ(s.load("refused"), -10);
    EXPECT_EQ(s.get({0, kChannel, kThreshold, kCode}), 55);
    EXPECT_EQ(s.get({1, kChannel, kThreshold, kCode}), 10);
    EXPECT_NE(s.log().find("Error setting parameter Input polarity."), std::string::npos);

    // A save without rows is as good as none.
    db.exec("INSERT INTO Saves(savename) VALUES ('empty')");
    EXPECT_EQ(s.load("empty"), -43);
}

TEST_F(ConfigurationCommands, ListPagesNewestFirstAndDeleteAllKeepsTheDefault) {
    Server& s = *server_;
    ASSERT_EQ(s.statusOf(DELETE_CONFIGURATION, maskRequest(0, 0)), 0);
    Listing listing = s.list();
    ASSERT_EQ(listing.status, 0);
    EXPECT_EQ(listing.names, std::vector<std::string>{"__default"});
    // Loading without a name finds no save but "__default".
    EXPECT_EQ(s.statusOf(LOAD_CONFIGURATION, maskRequest(0, 0)), -43);
    EXPECT_NE(s.log().find("No save found: "), std::string::npos);

    // Saves in one second: the later one is the newer.
    ASSERT_EQ(s.set({0, kChannel, kThreshold, kCode}, 31), 0);
    ASSERT_EQ(s.save("first"), 0);
    ASSERT_EQ(s.set({0, kChannel, kThreshold, kCode}, 32), 0);
    ASSERT_EQ(s.save("second"), 0);
    ASSERT_EQ(s.set({0, kChannel, kThreshold, kCode}, 33), 0);
    listing = s.list();
    ASSERT_GE(listing.names.size(), 3u);
    EXPECT_EQ(listing.names[0], "second");
    EXPECT_EQ(listing.names[1], "first");
    ASSERT_EQ(s.statusOf(LOAD_CONFIGURATION, maskRequest(0, 0)), 0);
    EXPECT_EQ(s.get({0, kChannel, kThreshold, kCode}), 32);

    // 250 older saves written beside the server: pages of 200.
    {
        Database db(databaseFile());
        db.exec("BEGIN");
        for (int i = 0; i < 250; i++) {
            char name[16], stamp[32];
            std::snprintf(name, sizeof name, "old%03d", i);
            std::snprintf(stamp, sizeof stamp, "2001-01-01 00:%02d:%02d", i / 60, i % 60);
            db.exec(std::string("INSERT INTO Saves(savename, timestamp) VALUES ('") + name + "', '" + stamp + "')");
        }
        db.exec("COMMIT");
    }
    listing = s.list(0);
    ASSERT_EQ(listing.status, 0);
    ASSERT_EQ(listing.count, 200u);
    EXPECT_EQ(listing.names[3], "old249"); // second, first, __default, then the old ones
    listing = s.list(200);
    ASSERT_EQ(listing.count, 53u);
    EXPECT_EQ(listing.names[0], "old052");
    EXPECT_EQ(listing.names[52], "old000");
    listing = s.list(253);
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.count, 0u);

    // Only the count, or only the names.
    Reader count(s.request(LIST_CONFIGURATIONS, maskRequest(0, 0x4)));
    ASSERT_EQ(count.status(), 0);
    EXPECT_EQ(count.u32(), 200u);
    EXPECT_EQ(count.left(), 0u);

    // Every save but "__default" goes, and the file is compacted.
    Database db(databaseFile());
    std::string defaultRows = db.one("SELECT COUNT(*) FROM Parameters JOIN Saves USING (saveid) WHERE "
                                     "savename='__default'");
    ASSERT_EQ(s.statusOf(DELETE_CONFIGURATION, maskRequest(0, 0)), 0);
    EXPECT_EQ(db.one("SELECT GROUP_CONCAT(savename) FROM Saves"), "__default");
    EXPECT_EQ(db.one("SELECT COUNT(*) FROM Parameters"), defaultRows);
    EXPECT_EQ(db.one("PRAGMA freelist_count"), "0");
}

TEST_F(ConfigurationCommands, MasksAndShortRequests) {
    Server& s = *server_;
    struct Case {
        const char* what;
        uint16_t command;
        Bytes payload;
        int16_t status;
    };
    const Case cases[] = {
        {"no masks", SAVE_CONFIGURATION, Request().u64(0), -6},
        {"name missing", SAVE_CONFIGURATION, maskRequest(0x1, 0).text("cut", 20), -6},
        {"save offset bit", SAVE_CONFIGURATION, maskRequest(0x3, 0).text("refused-a").u32(0), -33},
        {"load path bit", LOAD_CONFIGURATION, maskRequest(0x21, 0).text("refused-b"), -33},
        {"include-HV word missing", LOAD_CONFIGURATION, maskRequest(0x11, 0).text("alpha"), -6},
        {"list name bit", LIST_CONFIGURATIONS, maskRequest(0x1, 0xC).text("x"), -33},
        {"list offset missing", LIST_CONFIGURATIONS, maskRequest(0x2, 0xC), -6},
        {"list unknown out bit", LIST_CONFIGURATIONS, maskRequest(0, 0x10), -33},
        {"delete offset bit", DELETE_CONFIGURATION, maskRequest(0x2, 0).u32(0), -33},
        {"path field short", DATABASE_PATH, maskRequest(0x20, 0x20).text("/tmp", 100), -6},
        {"path unknown in bit", DATABASE_PATH, maskRequest(0x1, 0).text("x"), -33},
        {"path unknown out bit", DATABASE_PATH, maskRequest(0, 0x21), -33},
    };
    for (const Case& c : cases)
        EXPECT_EQ(s.statusOf(c.command, c.payload), c.status) << c.what;
    // Refused requests did nothing; the path is unchanged.
    EXPECT_FALSE(contains(s.list().names, "refused-a"));
    EXPECT_EQ(s.databasePath(), "OR5780_1101/boardconfig.info");

    // An unknown output bit after a save: the save is done, the reply says -33.
    EXPECT_EQ(s.statusOf(SAVE_CONFIGURATION, maskRequest(0x1, 0x1).text("acted")), -33);
    EXPECT_TRUE(contains(s.list().names, "acted"));
    // A save without a name is named by the engine's UTC date and time.
    ASSERT_EQ(s.statusOf(SAVE_CONFIGURATION, maskRequest(0, 0)), 0);
    Database db(databaseFile());
    std::string newest = db.one("SELECT savename FROM Saves ORDER BY saveid DESC LIMIT 1");
    EXPECT_EQ(newest, db.one("SELECT timestamp FROM Saves ORDER BY saveid DESC LIMIT 1"));
    EXPECT_EQ(newest.size(), 19u) << newest;
}

TEST_F(ConfigurationCommands, AMissingOrCorruptFileGivesAnErrorStatus) {
    Server& s = *server_;
    const std::string original = s.databasePath();
    ASSERT_EQ(original, "OR5780_1101/boardconfig.info");

    // A folder that does not exist: nothing opens.
    const std::string missing = (work_->path() / "no-such-folder" / "boardconfig.info").string();
    ASSERT_EQ(s.setDatabasePath(missing), 0);
    EXPECT_EQ(s.databasePath(), missing);
    EXPECT_EQ(s.save("x"), -36);
    EXPECT_EQ(s.load("x"), -36);
    EXPECT_EQ(s.remove("x"), -36);
    EXPECT_EQ(s.list().status, -36);
    EXPECT_NE(s.log().find("Can't open '" + missing + "'"), std::string::npos);

    // A file that is not a database.
    const fs::path corrupt = work_->path() / "corrupt.info";
    std::ofstream(corrupt) << std::string(4096, 'Z');
    ASSERT_EQ(s.setDatabasePath(corrupt.string()), 0);
    EXPECT_EQ(s.save("x"), -43);
    EXPECT_EQ(s.load("x"), -43);
    EXPECT_EQ(s.statusOf(LOAD_CONFIGURATION, maskRequest(0, 0)), -43);
    EXPECT_EQ(s.remove("x"), -43);
    EXPECT_EQ(s.list().status, -43);
    EXPECT_EQ(srvtest::readFile(corrupt), std::string(4096, 'Z'));

    // An empty path is refused rather than opening a throw-away database.
    ASSERT_EQ(s.setDatabasePath(""), 0);
    EXPECT_EQ(s.save("x"), -36);

    // At most 400 characters of the field are kept.
    ASSERT_EQ(s.setDatabasePath(std::string(kPathField, 'p')), 0);
    EXPECT_EQ(s.databasePath(), std::string(400, 'p'));

    // A shorter path replaces the whole field: the reply carries the text and
    // then only NUL bytes, whatever stood in the field before or in the
    // request after the terminator.
    std::string field(kPathField, 'q');
    field.replace(0, original.size() + 1, original.c_str(), original.size() + 1);
    Reader reply(s.request(DATABASE_PATH, maskRequest(0x20, 0x20).text(field, kPathField)));
    ASSERT_EQ(reply.status(), 0);
    Bytes sent = reply.raw(kPathField);
    EXPECT_EQ(std::string(sent.begin(), sent.begin() + static_cast<long>(original.size())), original);
    EXPECT_EQ(std::count(sent.begin() + static_cast<long>(original.size()), sent.end(), 0),
              static_cast<long>(kPathField - original.size()));

    EXPECT_EQ(s.list().status, 0);
}

// --------------------------------------------------------------- start-up

TEST(ConfigurationStartUp, RewritesTheDefaultAndAppliesTheNewestSave) {
    srvtest::TempDir work;
    const fs::path file = work.path() / "OR5780_1101" / "boardconfig.info";
    std::string boardThreshold, firstDefaultId;
    {
        Server first(work.path());
        ASSERT_TRUE(first.ready());
        // The very first start created the file with "__default" only.
        Database db(file);
        firstDefaultId = db.one("SELECT saveid FROM Saves WHERE savename='__default'");
        ASSERT_NE(firstDefaultId, "");
        boardThreshold = db.value("__default", 2, 1, "PARAM_CH_THRESHOLD");
        ASSERT_NE(boardThreshold, "");
        EXPECT_NE(first.log("MorvaneServerLog.txt")
                      .find("Can't load last configuration from database (error -43). Going on anyway."),
                  std::string::npos);

        ASSERT_EQ(first.set({1, kChannel, kThreshold, kCode}, 300), 0);
        ASSERT_EQ(first.save("older"), 0);
        ASSERT_EQ(first.set({1, kChannel, kThreshold, kCode}, 321), 0);
        ASSERT_EQ(first.set({4, kChannel, kPolarity, kCode}, 1), 0);
        ASSERT_EQ(first.save("newer"), 0);
        ASSERT_EQ(first.set({1, kChannel, kThreshold, kCode}, 123), 0); // not saved
        first.quit();
    }
    Server second(work.path());
    ASSERT_TRUE(second.ready());
    EXPECT_EQ(second.get({1, kChannel, kThreshold, kCode}), 321);
    EXPECT_EQ(second.get({4, kChannel, kPolarity, kCode}), 1);
    // "__default" was written anew with the values of the freshly opened board.
    Database db(file);
    EXPECT_GT(std::stoi(db.one("SELECT saveid FROM Saves WHERE savename='__default'")), std::stoi(firstDefaultId));
    EXPECT_EQ(db.value("__default", 2, 1, "PARAM_CH_THRESHOLD"), boardThreshold);
    EXPECT_EQ(db.one("SELECT COUNT(*) FROM Saves"), "3");
    EXPECT_NE(second.log().find("Save 'newer' correctly loaded."), std::string::npos);
    second.quit();
}

TEST(ConfigurationStartUp, ACorruptDatabaseDoesNotStopTheServer) {
    srvtest::TempDir work;
    fs::create_directories(work.path() / "OR5780_1101");
    const fs::path file = work.path() / "OR5780_1101" / "boardconfig.info";
    std::ofstream(file) << "this is not a database";
    Server server(work.path());
    ASSERT_TRUE(server.ready());
    std::string log = server.log("MorvaneServerLog.txt");
    EXPECT_NE(log.find("Can't delete default configuration from database (error -43)"), std::string::npos);
    EXPECT_NE(log.find("Can't save default configuration from database (error -43)"), std::string::npos);
    EXPECT_EQ(server.list().status, -43);
    EXPECT_EQ(server.save("x"), -43);
    server.quit();
}

// ------------------------------------------------------------ high voltage

// The 2-channel board with two high-voltage channels.
TEST(ConfigurationHighVoltage, RowsOfHighVoltageLoadOnlyWhenAsked) {
    srvtest::TempDir work;
    Server s(work.path(), {"-t", "usb", "-n", "1"}, {{"ZARN_LOG_LEVEL", "8"}}); // the skips are details
    ASSERT_TRUE(s.ready());
    const std::initializer_list<int32_t> vset = {0, kHVChannel, 0, kHVRange, kVoltageSet, kCode};
    ASSERT_EQ(s.set(vset, 100), 0);
    double saved = s.get(vset);
    ASSERT_EQ(s.set({1, kChannel, kThreshold, kCode}, 200), 0);
    ASSERT_EQ(s.save("hv"), 0);
    Database db(work.path() / "OR7802M_1102" / "boardconfig.info");
    EXPECT_NE(db.one("SELECT COUNT(*) FROM Parameters JOIN Saves USING (saveid) WHERE savename='hv' AND "
                     "parenttype=4 AND parentid1=1"),
              "0");

    ASSERT_EQ(s.set(vset, 200), 0);
    double changed = s.get(vset);
    ASSERT_NE(changed, saved);
    ASSERT_EQ(s.set({1, kChannel, kThreshold, kCode}, 500), 0);

    // Without bit 4, and with bit 4 holding 0: the HV rows are skipped.
    for (std::optional<uint32_t> includeHV : {std::optional<uint32_t>(), std::optional<uint32_t>(0u)}) {
        ASSERT_EQ(s.load("hv", includeHV), 0);
        EXPECT_EQ(s.get(vset), changed);
        EXPECT_EQ(s.get({1, kChannel, kThreshold, kCode}), 200);
        ASSERT_EQ(s.set({1, kChannel, kThreshold, kCode}, 500), 0);
    }
    EXPECT_NE(s.log().find("Skipping reload of HV parameter Voltage set"), std::string::npos);
    ASSERT_EQ(s.load("hv", 1), 0);
    EXPECT_EQ(s.get(vset), saved);

    // The start-up load applies them too.
    ASSERT_EQ(s.set(vset, 200), 0);
    s.quit();
    Server again(work.path(), {"-t", "usb", "-n", "1"});
    ASSERT_TRUE(again.ready());
    EXPECT_EQ(again.get(vset), saved);
    again.quit();
}

} // namespace
