/* The board definition loader: the first input byte chooses a simulated
 * board, the rest replaces the board definition file that its open reads,
 * and the board is opened for real (parameters built, defaults written to
 * the board, buffers sized), then freed. The shipped file is put back after
 * every input.
 *
 * The library reads its definitions folder once, when it loads, so the
 * target copies the shipped folder into a scratch one and runs itself again
 * with DRAVIKDIR pointing there. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace fs = std::filesystem;

namespace {

/* Set in the process that runs on the scratch copy: the folder to remove. */
const char kScratchVariable[] = "MORVANE_FUZZ_DEFINITIONS";

struct Target {
    const fuzzsup::SimBoard* board;
    std::string path;              /* the file in the scratch folder */
    std::vector<uint8_t> original; /* its shipped bytes */
};
std::vector<Target> targets;

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveScratchDefinitions() {
    std::error_code ignored;
    fs::remove_all(getenv(kScratchVariable), ignored);
}

/* Copies the shipped definitions and runs this program again on the copy. */
void RunOnScratchCopy(char** argv) {
    char pattern[] = "/tmp/morvane-fuzz-definitions-XXXXXX";
    const char* folder = mkdtemp(pattern);
    if (folder == NULL) {
        perror("mkdtemp");
        abort();
    }
    std::error_code error;
    fs::copy(MORVANE_DEFINITIONS_DIR, folder, fs::copy_options::recursive, error);
    if (error) {
        fprintf(stderr, "can't copy the definitions: %s\n", error.message().c_str());
        abort();
    }
    setenv("DRAVIKDIR", folder, 1);
    setenv(kScratchVariable, folder, 1);
    execv("/proc/self/exe", argv);
    perror("execv");
    abort();
}

} // namespace

/* The board opens wait for the high-voltage supply to settle after each
 * selector write. The simulated supply answers at once, so the target takes
 * the place of the utility layer's sleep (the program exports it) and skips
 * the waits: a board with high voltage then opens in milliseconds, not
 * seconds. */
extern "C" void c_sleep(uint32_t) {}

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    if (getenv(kScratchVariable) == NULL)
        RunOnScratchCopy(*argv);
    atexit(RemoveScratchDefinitions);
    fuzzsup::QuietLogs();
    for (const fuzzsup::SimBoard& board : fuzzsup::SimBoards()) {
        std::string name = fuzzsup::BoardDefinitionFile(board);
        if (name.empty()) {
            fprintf(stderr, "definition fuzzer: board %s did not open\n", board.name);
            abort();
        }
        std::string path = std::string(getenv(kScratchVariable)) + "/" + name;
        targets.push_back({&board, path, ReadBytes(path)});
    }
    // Seeds: every board with the shipped file it reads.
    fuzzsup::WriteSeedsIfRequested([](const std::string& seeds) {
        for (size_t i = 0; i < targets.size(); ++i) {
            std::vector<uint8_t> seed(1, (uint8_t)i);
            seed.insert(seed.end(), targets[i].original.begin(), targets[i].original.end());
            fuzzsup::WriteSeed(seeds, targets[i].board->name, seed);
        }
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    fuzzsup::TrimLogs();
    const Target& target = targets[data[0] % targets.size()];
    if (!fuzzsup::WriteFile(target.path, data + 1, size - 1))
        abort();
    fuzzsup::CloseBoard(fuzzsup::OpenBoard(*target.board));
    if (!fuzzsup::WriteFile(target.path, target.original.data(), target.original.size()))
        abort();
    return 0;
}
