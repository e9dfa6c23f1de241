// Open boards, their handles, the readout buffers handed out, and the
// faults and defaults that tests set. Process-wide, behind one lock; each
// board's own state has its own mutex (ZarnSimBoard.h).
#include "ZarnSimBoard.h"

#include "ZarnComm.h"
#include "ZarnSimulator.h"
#include "ZarnUtility.h"

#include <cstdlib>
#include <cstring>
#include <set>

static const c_LogModule_t kLog = {"ZarnSimBoardLog.txt", "ZarnSimRegistry"};

namespace zsim {
namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Board> digitizers[ZARN_DGTZ_MAX_BOARDS];
    std::map<int32_t, std::shared_ptr<Board>> links;
    std::set<int32_t> ownLinks; // links opened by ZarnComm_OpenLink
    std::set<std::string> openProfiles;
    int32_t nextLink = 16;
    std::map<const char*, uint32_t> buffers;
    // faults
    int readFault = 0;
    int writeFault = 0;
    int openFault = 0;
    uint32_t faultAddress = 0;
    uint32_t faultCountdown = 0;
    int addressFault = 0;
    Defaults defaults;
    std::string lastProfileError;
};

Registry& R() {
    static Registry* registry = new Registry; // lives to the end of the process
    return *registry;
}

bool TakeAddressFault(Registry& r, uint32_t address, int* code) {
    if (r.faultCountdown == 0 || address != r.faultAddress)
        return false;
    if (--r.faultCountdown != 0)
        return false;
    *code = r.addressFault;
    return true;
}

std::shared_ptr<Board> NewBoard(const Profile& profile, const Defaults& d) {
    std::shared_ptr<Board> board = MakeBoard(profile);
    if (d.hasSeed)
        board->Seed(d.seed);
    if (d.hasRate)
        board->SetRate(-1, d.rate);
    if (d.hasClock)
        board->SetClockMode(d.clockMode);
    return board;
}

// Reads the profiles and finds the first that answers at an address. 0, 1
// (no board there) or -1 (profiles file unusable).
int FindProfile(const std::function<bool(const Profile&)>& answers, Profile& found) {
    std::vector<Profile> profiles;
    std::string error;
    int loaded = LoadProfiles(ProfilesPath(), profiles, error);
    {
        std::lock_guard<std::mutex> lock(R().mutex);
        R().lastProfileError = loaded == 0 ? std::string() : error;
    }
    if (loaded != 0)
        return -1;
    for (const Profile& p : profiles) {
        if (answers(p)) {
            found = p;
            return 0;
        }
    }
    return 1;
}

// A board opened with connection parameters answers at its own.
bool AnswersAt(const Profile& p, int linkType, const void* linkArg, int node, uint32_t base) {
    if (p.noConnection || p.linkType != linkType || p.node != node)
        return false;
    if (linkType == ZARN_DGTZ_LINK_NETWORK)
        return p.addressText == static_cast<const char*>(linkArg);
    return p.linkNumber == *static_cast<const int*>(linkArg) && p.vmeBase == base;
}

} // namespace

int OpenDigitizer(int linkType, const void* linkArg, int node, uint32_t vmeBase, int* handle) {
    if (!handle || !linkArg)
        return ZARN_DGTZ_InvalidParam;
    if (linkType < ZARN_DGTZ_LINK_USB || linkType > ZARN_DGTZ_LINK_NETWORK)
        return ZARN_DGTZ_InvalidLinkType;
    if (int fault = TakeOpenFault())
        return fault;
    Profile profile;
    int found = FindProfile([&](const Profile& p) { return AnswersAt(p, linkType, linkArg, node, vmeBase); }, profile);
    if (found < 0)
        return ZARN_DGTZ_ProfileError;
    if (found > 0) {
        c_lprintf(&kLog, C_LOG_INFO, __LINE__, "No board answers at link type %d, node %d, base 0x%X", linkType, node,
                  vmeBase);
        return ZARN_DGTZ_CommError;
    }
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.openProfiles.count(profile.name))
        return ZARN_DGTZ_AlreadyOpen;
    int slot = -1;
    for (int i = 0; i < ZARN_DGTZ_MAX_BOARDS && slot < 0; ++i)
        if (!r.digitizers[i])
            slot = i;
    if (slot < 0)
        return ZARN_DGTZ_MaxDevicesError;
    std::shared_ptr<Board> board;
    try {
        board = NewBoard(profile, r.defaults);
    } catch (const std::bad_alloc&) {
        return ZARN_DGTZ_OutOfMemory;
    }
    board->digitizerHandle = slot;
    board->link = r.nextLink++;
    r.digitizers[slot] = board;
    r.links[board->link] = board;
    r.openProfiles.insert(profile.name);
    *handle = slot;
    c_lprintf(&kLog, C_LOG_DETAIL, __LINE__, "Opened board '%s' (%s) as handle %d, link %d", profile.name.c_str(),
              profile.info.ModelName, slot, board->link);
    return ZARN_DGTZ_Success;
}

int CloseDigitizer(int handle) {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (handle < 0 || handle >= ZARN_DGTZ_MAX_BOARDS || !r.digitizers[handle])
        return ZARN_DGTZ_InvalidHandle;
    std::shared_ptr<Board> board = r.digitizers[handle];
    r.digitizers[handle].reset();
    r.links.erase(board->link);
    r.openProfiles.erase(board->profile.name);
    return ZARN_DGTZ_Success;
}

int OpenLink(int linkType, const void* linkArg, int node, uint32_t base, int32_t* link) {
    if (!link || !linkArg)
        return ZARN_COMM_InvalidParam;
    if (linkType < 0 || linkType > 6)
        return ZARN_COMM_InvalidLinkType;
    if (int fault = TakeOpenFault())
        return fault;
    bool deviceAddress = linkType == 0 && *static_cast<const int*>(linkArg) == 0 && node == 0 && base == 0;
    Profile profile;
    // the device opened without connection parameters
    int found = deviceAddress ? FindProfile([](const Profile& p) { return p.noConnection; }, profile) : 1;
    if (found < 0)
        return ZARN_COMM_ProfileError;
    if (found > 0)
        return ZARN_COMM_CommError;
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.openProfiles.count(profile.name))
        return ZARN_COMM_AlreadyOpen;
    std::shared_ptr<Board> board;
    try {
        board = NewBoard(profile, r.defaults);
    } catch (const std::bad_alloc&) {
        return ZARN_COMM_GenericError;
    }
    board->link = r.nextLink++;
    r.links[board->link] = board;
    r.ownLinks.insert(board->link);
    r.openProfiles.insert(profile.name);
    *link = board->link;
    return ZARN_COMM_Success;
}

int CloseLink(int32_t link) {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.ownLinks.count(link))
        return ZARN_COMM_InvalidHandle;
    r.openProfiles.erase(r.links[link]->profile.name);
    r.links.erase(link);
    r.ownLinks.erase(link);
    return ZARN_COMM_Success;
}

std::shared_ptr<Board> BoardOfDigitizer(int handle) {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (handle < 0 || handle >= ZARN_DGTZ_MAX_BOARDS)
        return nullptr;
    return r.digitizers[handle];
}

std::shared_ptr<Board> BoardOfLink(int32_t link) {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.links.find(link);
    return it == r.links.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Board>> OpenBoards() {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::shared_ptr<Board>> boards;
    for (auto& entry : r.links)
        boards.push_back(entry.second);
    return boards;
}

char* AllocateReadoutBuffer(uint32_t bytes) {
    char* buffer = static_cast<char*>(std::calloc(bytes ? bytes : 1, 1));
    if (!buffer)
        return nullptr;
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.buffers[buffer] = bytes;
    return buffer;
}

bool ReadoutBufferSize(const char* buffer, uint32_t* bytes) {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.buffers.find(buffer);
    if (it == r.buffers.end())
        return false;
    *bytes = it->second;
    return true;
}

bool FreeReadoutBuffer(char* buffer) {
    Registry& r = R();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.buffers.erase(buffer))
            return false;
    }
    std::free(buffer);
    return true;
}

int TakeReadFault(uint32_t address) {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    int code = 0;
    if (TakeAddressFault(r, address, &code))
        return code;
    code = r.readFault;
    r.readFault = 0;
    return code;
}

int TakeWriteFault(uint32_t address) {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    int code = 0;
    if (TakeAddressFault(r, address, &code))
        return code;
    code = r.writeFault;
    r.writeFault = 0;
    return code;
}

int TakeOpenFault() {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    int code = r.openFault;
    r.openFault = 0;
    return code;
}

void SetReadFault(int code) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().readFault = code;
}

void SetWriteFault(int code) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().writeFault = code;
}

void SetAddressFault(uint32_t address, uint32_t nth, int code) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().faultAddress = address;
    R().faultCountdown = code ? nth : 0;
    R().addressFault = code;
}

void SetOpenFault(int code) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().openFault = code;
}

std::string LastProfileError() {
    std::lock_guard<std::mutex> lock(R().mutex);
    return R().lastProfileError;
}

Defaults GetDefaults() {
    std::lock_guard<std::mutex> lock(R().mutex);
    return R().defaults;
}

void SetDefaultSeed(uint64_t seed) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().defaults.hasSeed = true;
    R().defaults.seed = seed;
}

void SetDefaultRate(double rate) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().defaults.hasRate = true;
    R().defaults.rate = rate;
}

void SetDefaultClock(int mode) {
    std::lock_guard<std::mutex> lock(R().mutex);
    R().defaults.hasClock = true;
    R().defaults.clockMode = mode;
}

void ResetAll() {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.readFault = r.writeFault = r.openFault = r.addressFault = 0;
    r.faultCountdown = 0;
    r.defaults = Defaults{};
}

} // namespace zsim
