// Per-module log files. Each module's record names its log file; the file is
// opened once (in $ZARN_LOG_DIR, else the current folder), kept open in a
// small table and flushed after every line, so that logging stays cheap on
// hot paths and nothing is lost when the process dies.
//
// Line layout: "YYYY-MM-DD hh:mm:ss.mmm LEVEL source:line message".
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

} // namespace

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
        char when[40];
        formatTime(when, sizeof when);
        std::string path = logPath(module->logFile);

        int written = -1;
        pthread_mutex_lock(&logMutex);
        try {
            FILE* file = fileFor(path);
            if (file != NULL) {
                written = fprintf(file, "%s %s %s:%u %s\n", when, levelName(level),
                                  module->sourceFile != NULL ? module->sourceFile : "?", line, message.c_str());
                if (fflush(file) != 0)
                    written = -1;
            }
        } catch (...) {
            written = -1;
        }
        pthread_mutex_unlock(&logMutex);
        return written < 0 ? -1 : 0;
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
