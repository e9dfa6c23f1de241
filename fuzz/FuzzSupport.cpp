#include "FuzzSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ZarnRecordMemory.h"
#include "ZarnSimulator.h"

namespace fuzzsup {

namespace {

/* Inputs between two trims of the log files. */
constexpr uint32_t kTrimEvery = 512;

c_ConnParams_t Link(int32_t type, int32_t number, int32_t node, uint32_t base = 0, const char* address = NULL) {
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    params.linkType = type;
    params.linkNumber = number;
    params.node = node;
    params.vmeBase = base;
    if (address != NULL)
        snprintf(params.address, sizeof params.address, "%s", address);
    return params;
}

/* Events per second and channel of the sampled runs: a few events per
 * channel in a read of a few milliseconds keep the seeds small. */
constexpr double kSampleRate = 2000.0;

/* Seeds above this size (the standard waveform boards' long traces) would
 * slow every run more than they add. */
constexpr size_t kMaxSeedBytes = 300 * 1024;

/* Link types of the profiles' <Address link=...>. */
enum { USB = 0, OPTICAL = 1, VME_BRIDGE = 4, NETWORK = 6 };

void RemoveScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(ScratchFolder(), ignored);
}

} // namespace

const std::string& ScratchFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/morvane-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == NULL) {
            perror("mkdtemp");
            abort();
        }
        return std::string(made);
    }();
    static const bool cleanup = (atexit(RemoveScratch), true);
    (void)cleanup;
    return folder;
}

void QuietLogs() {
    setenv("ZARN_LOG_DIR", (ScratchFolder() + "/logs").c_str(), 1);
    setenv("ZARN_LOG_LEVEL", "1", 1);
}

void TrimLogs() {
    static uint32_t inputs = 0;
    if (++inputs % kTrimEvery != 0)
        return;
    std::error_code error;
    /* The log files stay open for appending: truncating them in place is enough. */
    for (const auto& entry : std::filesystem::directory_iterator(ScratchFolder() + "/logs", error))
        if (entry.is_regular_file(error))
            truncate(entry.path().c_str(), 0);
}

const std::vector<SimBoard>& SimBoards() {
    static const std::vector<SimBoard> boards = {
        {"orlu-pha", false, Link(USB, 0, 0)},
        {"orlu-pha-hv", false, Link(USB, 1, 0)},
        {"pemb-psd-11", false, Link(OPTICAL, 0, 0)},
        {"pemb-pha-11", false, Link(OPTICAL, 0, 1)},
        {"pemb-psd-14", false, Link(OPTICAL, 1, 0)},
        {"pemb-pha-14", false, Link(OPTICAL, 1, 1)},
        {"vesk-ci", false, Link(USB, 2, 0)},
        {"vesk-psd", false, Link(USB, 3, 0)},
        {"tilk-psd", false, Link(OPTICAL, 2, 0)},
        {"draq-qdc", false, Link(VME_BRIDGE, 0, 0, 0x32100000u)},
        {"scope-orlu", false, Link(USB, 4, 0)},
        {"scope-draq", false, Link(VME_BRIDGE, 0, 0, 0x32110000u)},
        {"scope-tilk", false, Link(OPTICAL, 2, 1)},
        {"scope-pemb-11", false, Link(OPTICAL, 3, 0)},
        {"scope-pemb-14", false, Link(NETWORK, 0, 0, 0, "192.168.50.14")},
        {"morvane", true, Link(USB, 0, 0)},
    };
    return boards;
}

c_Digitizer_t* OpenBoard(const SimBoard& board) {
    c_Digitizer_t* d = new c_Digitizer_t;
    _resetDgtz(d);
    if (c_newDigitizer(d, board.noConnection ? NULL : &board.params) != 0) {
        c_freeDgtz(d);
        delete d;
        return NULL;
    }
    return d;
}

void CloseBoard(c_Digitizer_t* digitizer) {
    if (digitizer == NULL)
        return;
    c_freeDgtz(digitizer);
    delete digitizer;
}

std::string BoardDefinitionFile(const SimBoard& board) {
    c_Digitizer_t* d = OpenBoard(board);
    if (d == NULL)
        return "";
    xmlDocPtr document = c_findBoardDefinitionFile(d);
    const char* path = c_xml_getpath(document);
    std::string name = path != NULL ? std::filesystem::path(path).filename().string() : "";
    c_xml_freedoc(document);
    CloseBoard(d);
    return name;
}

bool SeedsRequested(std::string* folder) {
    const char* text = getenv("MORVANE_FUZZ_SEEDS");
    if (text == NULL || *text == '\0')
        return false;
    *folder = text;
    std::error_code error;
    std::filesystem::create_directories(*folder, error);
    return true;
}

void WriteSeedsIfRequested(const std::function<void(const std::string& folder)>& write) {
    std::string folder;
    if (!SeedsRequested(&folder))
        return;
    write(folder);
    exit(0);
}

void WriteSeed(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    if (bytes.size() > kMaxSeedBytes)
        return;
    if (!WriteFile(folder + "/" + name, bytes.data(), bytes.size())) {
        fprintf(stderr, "can't write seed %s/%s\n", folder.c_str(), name.c_str());
        abort();
    }
}

std::vector<std::vector<uint8_t>> SampleBuffers(c_Digitizer_t* d, int reads, uint64_t nsPerRead) {
    std::vector<std::vector<uint8_t>> buffers;
    int32_t link = d->descriptor.CommHandle;
    ZarnSim_SetSeed(link, 1109);
    ZarnSim_SetClockMode(link, ZARN_SIM_CLOCK_MANUAL);
    ZarnSim_SetRate(link, -1, kSampleRate);
    if (c_bstarta(d) != 0)
        return buffers;
    for (int i = 0; i < reads; ++i) {
        ZarnSim_AdvanceClock(link, nsPerRead);
        int32_t bytes = 0;
        if (c_getDPPEvents(d, &bytes) == 0 && bytes > 0)
            buffers.emplace_back(d->roBuffer.ROBuf, d->roBuffer.ROBuf + bytes);
    }
    c_bstopa(d);
    return buffers;
}

std::vector<uint8_t> RecordedRun(const SimBoard& board) {
    std::vector<uint8_t> bytes;
    c_Digitizer_t* d = OpenBoard(board);
    if (d == NULL)
        return bytes;
    std::string base = ScratchFolder() + "/recorded";
    if (c_bdopenw(d, &d->writer, base.c_str(), BD_MODE_CREATE, 1) == 0) {
        std::string path = d->writer.fileName;
        d->dumpEnabled = 1;
        SampleBuffers(d, 3, 5000000);
        d->dumpEnabled = 0;
        c_bdclose(&d->writer);
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        unlink(path.c_str());
    }
    CloseBoard(d);
    return bytes;
}

void WriteRecordedRunSeeds(const std::string& folder) {
    for (const SimBoard& board : SimBoards()) {
        std::vector<uint8_t> run = RecordedRun(board);
        if (!run.empty())
            WriteSeed(folder, board.name, run);
    }
}

std::string StartRunFileTarget(const char* fileName) {
    QuietLogs();
    WriteSeedsIfRequested(WriteRecordedRunSeeds);
    return ScratchFolder() + "/" + fileName;
}

void WriteInputFile(const std::string& path, const uint8_t* data, size_t size) {
    TrimLogs();
    if (!WriteFile(path, data, size))
        abort();
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == NULL)
        return false;
    bool ok = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && ok;
}

void Violation(const char* what) {
    fprintf(stderr, "==FUZZ== invariant broken: %s\n", what);
    abort();
}

} // namespace fuzzsup
