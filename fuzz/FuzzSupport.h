/* Pieces shared by the fuzz targets: a scratch folder for the run, logs kept
 * small, and the simulated boards of the shipped profiles. */
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "ZarnDPPLayer.h"

namespace fuzzsup {

/* A folder of this process under /tmp, made on the first call and removed
 * with everything in it when the process ends normally. */
const std::string& ScratchFolder();

/* Sends every module's log to the scratch folder at the error level, so that
 * the messages of bad input are formatted (and checked) but cost little. */
void QuietLogs();
/* Called once per input: empties the log files now and then, so that a long
 * run does not fill the disk. */
void TrimLogs();

/* A simulated board of definitions/SimulatedBoards.xml. */
struct SimBoard {
    const char* name;
    bool noConnection; /* the register-level device: opened with NULL parameters */
    c_ConnParams_t params;
};
/* Every profile, one entry each, in the file's order. */
const std::vector<SimBoard>& SimBoards();

/* Opens the board into a new record; NULL when the open fails. */
c_Digitizer_t* OpenBoard(const SimBoard& board);
/* c_freeDgtz and the record's memory. */
void CloseBoard(c_Digitizer_t* digitizer);

/* The name (no folder) of the board definition file that the board's open
 * reads, or an empty text when the board does not open. */
std::string BoardDefinitionFile(const SimBoard& board);

/* ------------------------------------------------------------ seeds */

/* Every target writes its seed corpus and ends instead of fuzzing when
 * MORVANE_FUZZ_SEEDS names a folder (the build does this once per target).
 * True, with the folder, in that case. */
bool SeedsRequested(std::string* folder);
/* When seeds are requested: write(folder) writes them and the process ends;
 * else returns at once. */
void WriteSeedsIfRequested(const std::function<void(const std::string& folder)>& write);
/* Writes one seed into the folder. */
void WriteSeed(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes);

/* A few reads of the open board, run on the simulated board's manual clock
 * (nsPerRead of board time before each): the readout buffers that brought
 * data, as the board delivered them. */
std::vector<std::vector<uint8_t>> SampleBuffers(c_Digitizer_t* digitizer, int reads, uint64_t nsPerRead);
/* A short run of the board recorded by the library into a raw-data file:
 * the file's bytes (empty when the board does not open or record). */
std::vector<uint8_t> RecordedRun(const SimBoard& board);
/* Seeds of the run-file targets: a short recorded run of every board. */
void WriteRecordedRunSeeds(const std::string& folder);
/* The start of a target whose input is a run file: quiet logs, the seeds
 * written when asked (and the process ended), else the path in the scratch
 * folder where each input is written. */
std::string StartRunFileTarget(const char* fileName);
/* Writes one input to that path (logs trimmed first); aborts when it can't. */
void WriteInputFile(const std::string& path, const uint8_t* data, size_t size);

/* Writes the bytes to the file (created or truncated); false on failure. */
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);

/* Reports a broken invariant as a crash that libFuzzer keeps. */
[[noreturn]] void Violation(const char* what);

} // namespace fuzzsup

#endif
