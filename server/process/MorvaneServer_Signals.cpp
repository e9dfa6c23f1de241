// The end signals: the thread that takes SIGINT, SIGTERM and SIGHUP, the
// stage the shutdown has come to, and the giving up of a shutdown.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "MorvaneServerShared.h"
#include "SRV_CommandLoop.h"

using namespace morvaneserver;

// SIGINT, SIGTERM and SIGHUP (the terminal of a console server closed) end
// the server as command 25 does: the acquisition is stopped with its drain,
// the list files and the recording closed, the spectra saved, with the
// quit's exit code and stderr lines. They are blocked in every thread from
// the start (each thread inherits the mask) and one thread takes them with
// sigwait, so that what they cause runs as ordinary code: the first ends the
// command loop, and the main thread shuts down as after the quit. One that
// comes while the server ends (after command 25 as well) gives the shutdown
// up: a line on stderr says what is not saved, and the process ends at once,
// killed by that signal. A signal the server was started ignoring (nohup)
// stays ignored.

// How far the shutdown has come, for a signal that gives it up.
enum { SHUTDOWN_NOT_BEGUN = 0, SHUTDOWN_SAVING = 1, SHUTDOWN_SAVED = 2 };
static int shutdownStage = SHUTDOWN_NOT_BEGUN; // atomic access
static int firstEndSignal = 0;                 // atomic access: the signal that ends the server
// What the shutdown has to save, written before the stage becomes SAVING.
static char unsavedOnGiveUp[kUnsavedTextSize];

static const int END_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

static const char* signalName(int number) {
    switch (number) {
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "SIGTERM";
    }
}

// The line on stdout that says the server ends on a signal comes after the
// line that says it listens, or, when the start-up fails, not at all: a
// signal in the start-up's first moments waits for the start-up's line.
static pthread_mutex_t terminalLock = PTHREAD_MUTEX_INITIALIZER;
static bool startupTold = false; // under terminalLock
static int endSignalUntold = 0;  // under terminalLock: the signal whose line waits

static void printEndSignal(int number) {
    std::printf("MorvaneServer ends on %s as on command 25; another SIGINT, SIGTERM or SIGHUP gives up saving.\n",
                signalName(number));
    std::fflush(stdout);
}

// The start-up has told the terminal how it went: the line of a signal that
// came meanwhile follows, if the server listens.
void morvaneserver::startupToldTerminal(bool listening) {
    pthread_mutex_lock(&terminalLock);
    startupTold = true;
    if (endSignalUntold != 0 && listening)
        printEndSignal(endSignalUntold);
    endSignalUntold = 0;
    pthread_mutex_unlock(&terminalLock);
}

static void tellEndSignal(int number) {
    pthread_mutex_lock(&terminalLock);
    if (startupTold)
        printEndSignal(number);
    else
        endSignalUntold = number;
    pthread_mutex_unlock(&terminalLock);
}

static void setShutdownStage(int stage) { __atomic_store_n(&shutdownStage, stage, __ATOMIC_SEQ_CST); }

void morvaneserver::shutdownBegins(const char* unsaved) {
    std::snprintf(unsavedOnGiveUp, sizeof unsavedOnGiveUp, "%s", unsaved);
    setShutdownStage(SHUTDOWN_SAVING);
}

void morvaneserver::shutdownSaved(void) { setShutdownStage(SHUTDOWN_SAVED); }

// Ends the process at once, as the signal would have without the watch.
static void giveUpShutdown(int number) {
    c_lflushrepeats(); // the exit handlers that would write the log's repeat counts do not run
    const char* name = signalName(number);
    switch (__atomic_load_n(&shutdownStage, __ATOMIC_SEQ_CST)) {
    case SHUTDOWN_NOT_BEGUN:
        std::fprintf(stderr,
                     "MorvaneServer gave up ending on %s before its shutdown began: the acquisition was not stopped, "
                     "no spectrum, list file or recording was saved.\n",
                     name);
        break;
    case SHUTDOWN_SAVING:
        std::fprintf(stderr, "MorvaneServer gave up its shutdown on %s: %s.\n", name, unsavedOnGiveUp);
        break;
    default:
        std::fprintf(stderr, "MorvaneServer gave up its shutdown on %s: everything was saved already.\n", name);
        break;
    }
    std::fflush(stderr);
    ::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    pthread_sigmask(SIG_UNBLOCK, &only, NULL);
    raise(number);
    _exit(128 + number); // not reached: the signal's default action ends the process
}

// The thread that takes the end signals (argument: their set).
static void* endSignalThread(void* argument) {
    const sigset_t* signals = static_cast<const sigset_t*>(argument);
    for (;;) {
        int number = 0;
        if (sigwait(signals, &number) != 0)
            continue;
        int none = 0;
        if (__atomic_load_n(&shutdownStage, __ATOMIC_SEQ_CST) != SHUTDOWN_NOT_BEGUN ||
            !__atomic_compare_exchange_n(&firstEndSignal, &none, number, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            giveUpShutdown(number);
        c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "%s received: ending as on command 25.", signalName(number));
        tellEndSignal(number);
        SRV_EndCommandLoop();
    }
    return NULL;
}

// Whether the process was started with the signal ignored (a background
// job of a shell, nohup): it then stays ignored.
static bool startedIgnoring(int number) {
    struct sigaction action;
    return sigaction(number, NULL, &action) == 0 && action.sa_handler == SIG_IGN;
}

// Blocks the end signals and starts the thread that takes them. Should that
// fail, they keep their default action.
void morvaneserver::watchEndSignals(void) {
    static sigset_t signals;
    static c_thread_t* watcher = NULL;
    sigemptyset(&signals);
    for (int number : END_SIGNALS)
        if (!startedIgnoring(number))
            sigaddset(&signals, number);
    if (sigisemptyset(&signals))
        return;
    if (pthread_sigmask(SIG_BLOCK, &signals, NULL) != 0 || c_thread_create(&watcher, endSignalThread, &signals) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &signals, NULL);
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't watch SIGINT, SIGTERM and SIGHUP: they end the server without saving.");
    }
}
