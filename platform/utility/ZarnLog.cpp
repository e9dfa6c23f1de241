// Per-module log files. Each module's record names its log file; the file is
// opened once (in $ZARN_LOG_DIR, else the current folder), kept open in a
// small table and flushed after every line, so that logging stays cheap on
// hot paths and nothing is lost when the process dies.
//
// Line layout: "YYYY-MM-DD hh:mm:ss.mmm LEVEL source:line message".
//
// An error or warning that repeats (a read failing on every cycle) would fill
// the disk: within a window of REPEAT_WINDOW_MS one call site (same file,
// level, source and line) writes REPEAT_BURST_LINES lines of one text and
// REPEAT_SITE_LINES lines in all at most, whatever the texts (a message often
// carries a number that changes with every repeat; one line per channel of
// a board still gets through); the further repeats are counted, and the
// count is written once the window is over ("Repeated N more times in the last T s: <last text>", at
// the same level, source and line). The windows that are over are looked
// for with every limited line and by c_lsweeprepeats, which a loop that
// wakes on its own calls; c_lflushrepeats writes every count now, and also
// runs at exit.
#include "ZarnUtility.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <map>
#include <string>

namespace {

const uint32_t DEFAULT_THRESHOLD = C_LOG_INFO;

const uint64_t REPEAT_WINDOW_MS = 10000;
const uint32_t REPEAT_BURST_LINES = 5; // of one text
const uint32_t REPEAT_SITE_LINES = 32; // of one call site, whatever its texts
// How often the call sites whose window is over are looked for, at most.
// The table holds one entry per call site that repeated within its window,
// so it is bounded by the program's call sites and needs no cap.
const uint64_t REPEAT_SWEEP_MS = 100;

pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;

// Deliberately never destroyed: threads may still log while the process
// runs its exit handlers.
std::map<std::string, FILE*>& openFiles() {
    static auto* files = new std::map<std::string, FILE*>();
    return *files;
}

uint32_t threshold() {
    const char* text = getenv("ZARN_LOG_LEVEL");
    if (text == NULL || *text == '\0')
        return DEFAULT_THRESHOLD;
    char* end = NULL;
    unsigned long value = strtoul(text, &end, 10);
    if (end == text || *end != '\0')
        return DEFAULT_THRESHOLD;
    return static_cast<uint32_t>(value);
}

const char* levelName(uint32_t level) {
    switch (level) {
    case C_LOG_ERROR: return "ERROR";
    case C_LOG_WARNING: return "WARNING";
    case C_LOG_INFO: return "INFO";
    case C_LOG_DETAIL: return "DETAIL";
    default: return "LEVEL?";
    }
}

std::string logPath(const char* logFile) {
    const char* folder = getenv("ZARN_LOG_DIR");
    if (folder == NULL || *folder == '\0' || logFile[0] == '/')
        return logFile;
    std::string path(folder);
    if (path.back() != '/')
        path += '/';
    return path + logFile;
}

// Called with logMutex held.
FILE* fileFor(const std::string& path) {
    auto& files = openFiles();
    auto found = files.find(path);
    if (found != files.end())
        return found->second;
    FILE* file = fopen(path.c_str(), "a");
    if (file == NULL) {
        // The log folder may not exist yet: create it once and try again.
        const char* folder = getenv("ZARN_LOG_DIR");
        if (folder == NULL || *folder == '\0' || c_mkdirp(folder) != 0)
            return NULL;
        file = fopen(path.c_str(), "a");
        if (file == NULL)
            return NULL;
    }
    files.emplace(path, file);
    return file;
}

void formatTime(char* text, size_t size) {
    struct timeval now;
    gettimeofday(&now, NULL);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    size_t length = strftime(text, size, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(text + length, size - length, ".%03d", static_cast<int>(now.tv_usec / 1000) % 1000);
}

// The message text; long messages get a heap buffer.
std::string formatMessage(const char* format, va_list args) {
    char local[1024];
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(local, sizeof local, format, copy);
    va_end(copy);
    if (length < 0)
        return "(message could not be formatted)";
    if (static_cast<size_t>(length) < sizeof local)
        return std::string(local, length);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(length);
    return text;
}

// Called with logMutex held. The line as written to its file; 0 or -1.
int writeLine(const std::string& path, const char* when, uint32_t level, const char* source, uint32_t line,
              const std::string& message) {
    FILE* file = fileFor(path);
    if (file == NULL)
        return -1;
    int written = fprintf(file, "%s %s %s:%u %s\n", when, levelName(level), source, line, message.c_str());
    if (fflush(file) != 0)
        written = -1;
    return written < 0 ? -1 : 0;
}

// One call site whose lines are being limited, and what its window has let
// through: in all, and of each text (at most REPEAT_SITE_LINES texts);
// lastText is the last line it held back.
struct Repeat {
    std::string path;
    uint32_t level;
    std::string source;
    uint32_t line;
    std::string lastText;
    uint64_t windowStart;
    uint32_t written;
    uint64_t suppressed;
    std::map<std::string, uint32_t> writtenByText;
};

// Deliberately never destroyed, as the open files.
std::map<std::string, Repeat>& repeats() {
    static auto* tracked = new std::map<std::string, Repeat>();
    return *tracked;
}

uint64_t lastSweep = 0;

// Called with logMutex held: the count of the repeats that were not written.
void writeRepeatCount(const Repeat& repeat, uint64_t now) {
    if (repeat.suppressed == 0)
        return;
    char when[40];
    formatTime(when, sizeof when);
    char count[96];
    snprintf(count, sizeof count,
             "Repeated %llu more times in the last %.1f s: ", static_cast<unsigned long long>(repeat.suppressed),
             (now - repeat.windowStart) / 1000.0);
    writeLine(repeat.path, when, repeat.level, repeat.source.c_str(), repeat.line, count + repeat.lastText);
}

// Called with logMutex held: writes the counts of the windows that are over
// (every window with all set) and forgets their lines.
void endRepeatWindows(uint64_t now, bool all) {
    auto& tracked = repeats();
    for (auto it = tracked.begin(); it != tracked.end();) {
        if (all || now - it->second.windowStart >= REPEAT_WINDOW_MS) {
            writeRepeatCount(it->second, now);
            it = tracked.erase(it);
        } else {
            ++it;
        }
    }
    lastSweep = now;
}

void flushRepeatsAtExit() { c_lflushrepeats(); }

// Called with logMutex held: the counts of the windows that are over, at most
// once every REPEAT_SWEEP_MS.
void sweepRepeatWindows(uint64_t now) {
    if (now - lastSweep >= REPEAT_SWEEP_MS)
        endRepeatWindows(now, false);
}

// Called with logMutex held: whether this line is written now, or only
// counted as a repeat of its call site within its window.
bool admitLine(const std::string& path, uint32_t level, const char* source, uint32_t line, const std::string& message) {
    if (level > C_LOG_WARNING)
        return true;
    uint64_t now = c_get_time();
    sweepRepeatWindows(now);
    auto& tracked = repeats();
    std::string key = path + '\n' + std::to_string(level) + '\n' + source + ':' + std::to_string(line);
    auto found = tracked.find(key);
    if (found != tracked.end() && now - found->second.windowStart >= REPEAT_WINDOW_MS) {
        writeRepeatCount(found->second, now);
        tracked.erase(found);
        found = tracked.end();
    }
    if (found == tracked.end()) {
        static bool exitFlushRegistered = atexit(flushRepeatsAtExit) == 0;
        (void)exitFlushRegistered;
        tracked.emplace(key, Repeat{path, level, source, line, std::string(), now, 1, 0, {{message, 1}}});
        return true;
    }
    Repeat& repeat = found->second;
    if (repeat.written < REPEAT_SITE_LINES) {
        uint32_t& ofText = repeat.writtenByText[message];
        if (ofText < REPEAT_BURST_LINES) {
            ofText++;
            repeat.written++;
            return true;
        }
    }
    repeat.suppressed++;
    repeat.lastText = message;
    return false;
}

} // namespace

extern "C" void c_lflushrepeats(void) {
    pthread_mutex_lock(&logMutex);
    try {
        endRepeatWindows(c_get_time(), true);
    } catch (...) {}
    pthread_mutex_unlock(&logMutex);
}

extern "C" void c_lsweeprepeats(void) {
    pthread_mutex_lock(&logMutex);
    try {
        sweepRepeatWindows(c_get_time());
    } catch (...) {}
    pthread_mutex_unlock(&logMutex);
}

extern "C" int c_lvprintf(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format,
                          va_list args) {
    if (module == NULL || module->logFile == NULL || format == NULL)
        return -1;
    if (level > threshold())
        return 0;
    try {
        std::string message = formatMessage(format, args);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
            message.pop_back();
        std::string path = logPath(module->logFile);

        const char* source = module->sourceFile != NULL ? module->sourceFile : "?";
        int written = -1;
        pthread_mutex_lock(&logMutex);
        try {
            written = 0;
            if (admitLine(path, level, source, line, message)) {
                // Taken here, so that the lines of a file stay in the order of their times.
                char when[40];
                formatTime(when, sizeof when);
                written = writeLine(path, when, level, source, line, message);
            }
        } catch (...) {
            written = -1;
        }
        pthread_mutex_unlock(&logMutex);
        return written;
    } catch (...) {
        return -1;
    }
}

extern "C" void c_lprintf(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    c_lvprintf(module, level, line, format, args);
    va_end(args);
}
