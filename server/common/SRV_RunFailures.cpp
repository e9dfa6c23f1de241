// The failures of a board's runs that no reply carried as they happened.
#include "SRV_RunFailures.h"

#include <cstdio>
#include <cstring>

namespace {

// Takes kept[index] out, the later ones moving up.
void removeAt(SRVRunFailures_t* failures, uint32_t index) {
    std::memmove(&failures->kept[index], &failures->kept[index + 1],
                 (failures->count - index - 1) * sizeof failures->kept[0]);
    failures->count--;
    if (failures->answerFrom > index)
        failures->answerFrom--;
    if (failures->commandFrom > index)
        failures->commandFrom--;
    if (failures->commandTo > index)
        failures->commandTo--;
}

} // namespace

bool SRV_KeepRunFailure(SRVRunFailures_t* failures, SRVRunFailureKind_t kind, SRVStatus_t status, const char* path,
                        const char* reason) {
    if (status == SRV_SUCCESS)
        return false;
    bool answered = failures->count == failures->answerFrom;
    if (failures->count == SRV_RUN_FAILURES_MAX) {
        failures->uncounted++;
        return answered;
    }
    SRVRunFailure_t* kept = &failures->kept[failures->count++];
    kept->kind = kind;
    kept->failure.status = status;
    std::snprintf(kept->failure.path, sizeof kept->failure.path, "%s", path != NULL ? path : "");
    std::snprintf(kept->failure.reason, sizeof kept->failure.reason, "%s", reason != NULL ? reason : "");
    return answered;
}

bool SRV_TakeRunFailure(SRVRunFailures_t* failures, SRVRunFailure_t* taken) {
    if (failures->answerFrom >= failures->count)
        return false;
    *taken = failures->kept[failures->answerFrom];
    removeAt(failures, failures->answerFrom);
    failures->answerFrom = failures->count;
    return true;
}

void SRV_BeginCommandFailures(SRVRunFailures_t* failures) {
    failures->commandFrom = failures->count;
    failures->commandTo = failures->count;
}

void SRV_EndCommandFailures(SRVRunFailures_t* failures) { failures->commandTo = failures->count; }

void SRV_SettleCommandFailures(SRVRunFailures_t* failures, SRVStatus_t carried) {
    uint32_t from = failures->commandFrom;
    if (carried != SRV_SUCCESS)
        for (uint32_t i = from; i < failures->commandTo; i++)
            if (failures->kept[i].failure.status == carried) {
                removeAt(failures, i);
                break;
            }
    // Failures kept before the command that no command has followed yet
    // still wait for the next one; the command's own were followed by its
    // reply.
    if (failures->answerFrom >= from && failures->answerFrom < failures->commandTo)
        failures->answerFrom = failures->commandTo;
    failures->commandFrom = failures->commandTo;
}

void SRV_LeaveRunFailuresToEnd(SRVRunFailures_t* failures) { failures->answerFrom = failures->count; }

bool SRV_RunFailureLostData(const SRVRunFailure_t* failure) { return failure->kind != SRV_RUN_FAILURE_REPLAY; }

void SRV_DescribeRunFailure(const SRVRunFailure_t* failure, char* out, size_t size) {
    const SRVFileFailure_t* f = &failure->failure;
    if (f->path[0] == '\0') {
        std::snprintf(out, size, "%s", f->reason);
        return;
    }
    const char* kind = failure->kind == SRV_RUN_FAILURE_LIST_FILE ? "list file" : "raw-data file";
    std::snprintf(out, size, "%s %s %s", kind, f->path, f->reason);
}
