/* Shared pieces of the board-open tests: connection parameters of the shipped
 * simulated boards, an owned digitizer record, a walk over every parameter of
 * a record, temporary profile files and log folders. */
#ifndef BOARD_OPEN_SUPPORT_H
#define BOARD_OPEN_SUPPORT_H

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "../support/LogFolder.h"
#include "../support/SimBoards.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimulator.h"

namespace boardtest {

using testsup::Connection;

/* The shipped profiles (definitions/SimulatedBoards.xml). */
inline c_ConnParams_t OrluPha() { return Connection(0, 0, 0); }   /* family 16, 8 channels, form factor 2 */
inline c_ConnParams_t OrluPhaHV() { return Connection(0, 1, 0); } /* family 7, two HV channels */
inline c_ConnParams_t PembPsd11() { return Connection(1, 0, 0); } /* form factor 0 */
inline c_ConnParams_t PembPha11() { return Connection(1, 0, 1); } /* form factor 0, minor 136 */
inline c_ConnParams_t PembPsd14() { return Connection(1, 1, 0); } /* form factor 2 */
inline c_ConnParams_t PembPha14() { return Connection(1, 1, 1); } /* form factor 2, minor 135 */

/* A digitizer record on the heap, closed (and freed) when it goes. */
class Board : public testsup::OpenedRecord {
public:
    int Open(const c_ConnParams_t& params) { return open(params); }
    int32_t Link() const { return link(); }
    uint32_t Peek(uint32_t address) const { return peek(address); }
};

/* Calls fn for every parameter of every collection of the record, with a
 * label naming its place ("board", "channel 3", ...). */
void ForEachParameter(c_Digitizer_t* d, const std::function<void(const std::string&, c_Parameter_t*)>& fn);

/* Sets channel 0's decay time again to its own value, which makes the update
 * functions recompute the trapezoid shift, the gain register and the triangle
 * factors, and checks that each still reads its preferred value: the derived
 * defaults of the definition file agree with what the functions compute. */
void ExpectDerivedDefaultsConsistent(c_Digitizer_t* d);
/* Every parameter that is not read-only reads back its preferred value; the
 * number of parameters checked. */
int ExpectEveryParameterAtPreferred(c_Digitizer_t* d);

/* Whether the record holds nothing any more: closed, no collection, no buffer. */
::testing::AssertionResult IsClosedAndEmpty(const c_Digitizer_t* d);

/* One <Board> element of a profiles file at link type 0, link number 9. */
std::string FixtureBoard(const std::string& model, uint32_t family, uint32_t formFactor, const std::string& firmware,
                         uint32_t memoryCode, const std::string& extra = "");
inline c_ConnParams_t FixtureAddress() { return Connection(0, 9, 0); }

/* Points ZARN_SIMBOARD_FILE at a profiles file holding the given <Board>
 * elements for as long as it lives. */
class Profiles {
public:
    explicit Profiles(const std::string& boards);
    ~Profiles();

private:
    std::string path_;
};

/* Sends the log files to a fresh folder for as long as it lives. */
class LogFolder : public testsup::LogFolder {
public:
    LogFolder() : testsup::LogFolder("board_open_") {}
};

/* Every test starts and ends without injected faults. */
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override { ZarnSim_ResetFaults(); }
    void TearDown() override { ZarnSim_ResetFaults(); }
};

} // namespace boardtest

#endif
