// The version texts the server reports.
#include "SRV_Versions.h"

#include <cstdio>
#include <sqlite3.h>

// Reads "<key> = <value>" from the system information file.
static bool findSysInfoValue(FILE* file, const char* format, char value[50]) {
    char line[50];
    std::rewind(file);
    while (std::fgets(line, sizeof line, file) != NULL)
        if (std::sscanf(line, format, value) == 1)
            return true;
    return false;
}

const char* SRV_GetServerVersion(void) {
    static char version[128];
    char release[50] = "";
    char build[50] = "";
    bool found = false;
    FILE* file = std::fopen("/fw/etc/SysInfo", "r");
    if (file != NULL) {
        found = findSysInfoValue(file, " sysrel = %49s", release) && findSysInfoValue(file, " build = %49s", build);
        std::fclose(file);
    }
    if (found)
        std::snprintf(version, sizeof version, "%s-Build %s", release, build);
    else
        std::snprintf(version, sizeof version, "%s-Build %s", "1.1.1", "20231113");
    return version;
}

const char* SRV_GetSqliteCompiledVersion(void) { return SQLITE_VERSION; }

const char* SRV_GetSqliteRuntimeVersion(void) { return sqlite3_libversion(); }

const char* SRV_GetCompilerVersion(void) {
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "an unknown compiler";
#endif
}
