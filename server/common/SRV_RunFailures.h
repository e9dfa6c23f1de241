/*
 * SRV_RunFailures: the failures of a board's runs that no reply carries as
 * they happen: a list file or the raw-data recording that a stop could not
 * complete, a stop that failed in the library, a replayed file's damaged
 * records. Each is kept where it happens, with its file and reason. The
 * client's next command 8 or 9 answers the first one that no command has
 * followed yet; every one that no reply carried is told on the terminal when
 * the server ends, with the exit code. Board lock held throughout.
 */
#ifndef SRV_RUN_FAILURES_H
#define SRV_RUN_FAILURES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Keeps a failure (status not 0) with its file ("" or NULL when none) and
 * what went wrong. True when the client's next command 8 or 9 answers it,
 * false when an earlier failure is answered instead and the server's end
 * tells this one. */
bool SRV_KeepRunFailure(SRVRunFailures_t* failures, SRVRunFailureKind_t kind, SRVStatus_t status, const char* path,
                        const char* reason);

/* The failure that the client's command 8 or 9 answers: the first kept since
 * the last such command, taken out into *taken (true), or false when there is
 * none. The others kept since then are left to the server's end. */
bool SRV_TakeRunFailure(SRVRunFailures_t* failures, SRVRunFailure_t* taken);

/* The board thread is about to run a command (Begin) or has run it (End):
 * the failures it keeps in between are the command's. */
void SRV_BeginCommandFailures(SRVRunFailures_t* failures);
void SRV_EndCommandFailures(SRVRunFailures_t* failures);

/* After the reply of the command the board thread ran: the failure of its
 * own that the reply carries (status `carried`, 0: none) is taken out, and
 * the command's others are left to the server's end. */
void SRV_SettleCommandFailures(SRVRunFailures_t* failures, SRVStatus_t carried);

/* Leaves every failure kept so far to the server's end: no later command 8
 * or 9 answers them (the board they happened on is closed). */
void SRV_LeaveRunFailuresToEnd(SRVRunFailures_t* failures);

/* Whether the failure costs the server data (every kind but a replayed
 * file's damage): such a failure sets the exit code. */
bool SRV_RunFailureLostData(const SRVRunFailure_t* failure);

/* The failure in words: the kind of its file, the file and the reason
 * ("list file X cannot be written: ..."), or the reason alone when no file is
 * concerned. */
void SRV_DescribeRunFailure(const SRVRunFailure_t* failure, char* out, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* SRV_RUN_FAILURES_H */
