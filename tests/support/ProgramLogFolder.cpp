// Linked into every test, benchmark and fuzz program. A program started
// without ZARN_LOG_DIR logs into a folder of its own under its build tree,
// program-logs/<program name>, and not into the folder it was started from
// (the checkout, for a benchmark or a fuzz target started by hand).
//
// The libraries log from their load-time code already, before main and before
// any initialiser of the program: only an executable's pre-initialisers run
// earlier. There the C library's own environment is not set up yet (a
// variable set now would be lost), so a program without the variable starts
// itself again with it added.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef MORVANE_PROGRAM_LOGS_DIR
#error "MORVANE_PROGRAM_LOGS_DIR names the folder of the programs' log folders"
#endif

namespace {

const char kVariable[] = "ZARN_LOG_DIR=";

void startWithOwnLogFolder(int argc, char** argv, char** env) {
    size_t count = 0;
    for (; env != NULL && env[count] != NULL; count++)
        if (strncmp(env[count], kVariable, sizeof kVariable - 1) == 0 && env[count][sizeof kVariable - 1] != '\0')
            return; // given: nothing to do
    if (argc < 1 || argv[0] == NULL || *argv[0] == '\0')
        return;
    const char* program = strrchr(argv[0], '/') != NULL ? strrchr(argv[0], '/') + 1 : argv[0];
    static char entry[4096];
    int length = snprintf(entry, sizeof entry, "%s%s/%s", kVariable, MORVANE_PROGRAM_LOGS_DIR, program);
    char** changed = static_cast<char**>(calloc(count + 2, sizeof(char*)));
    if (length < 0 || static_cast<size_t>(length) >= sizeof entry || changed == NULL)
        return;
    size_t kept = 0;
    for (size_t i = 0; i < count; i++)
        if (strncmp(env[i], kVariable, sizeof kVariable - 1) != 0) // an empty one goes
            changed[kept++] = env[i];
    changed[kept] = entry;
    execve("/proc/self/exe", argv, changed);
    free(changed); // not started again: the logs go where the program runs
}

__attribute__((section(".preinit_array"),
               used)) void (*const startWithOwnLogFolderFirst)(int, char**, char**) = startWithOwnLogFolder;

} // namespace
