// The server's folders: the working folder, the folders the environment
// names (made absolute before the server changes into its working folder),
// and the global record with the definitions documents.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "MorvaneServer.h"
#include "MorvaneServerShared.h"
#include "SRV_ClientPaths.h"
#include "SRV_Globals.h"

using namespace morvaneserver;

// Joins a folder and a name with '/'; false when it does not fit.
bool morvaneserver::joinPath(char* out, size_t size, const char* folder, const char* name) {
    int written = std::snprintf(out, size, "%s/%s", folder, name);
    return written >= 0 && static_cast<size_t>(written) < size;
}

// The expansion of a text with path macros, or an empty text when the
// expansion is empty. False when it failed.
static bool expandInto(const char* text, char* out, size_t size) {
    char* expanded = c_getExpandedString(text);
    if (expanded == NULL)
        return false;
    bool fits = std::strlen(expanded) < size;
    if (fits)
        std::strcpy(out, expanded);
    c_free(expanded);
    return fits;
}

// The working folder: "$(ZARNWORKINGDIR)" when it is set, else
// "$(APPDATA)/MorvaneServer", where a missing APPDATA stands for the user's
// data folder ($XDG_DATA_HOME, else ~/.local/share).
static bool chooseWorkingFolder(char folder[SRV_FOLDER_SIZE]) {
    char base[SRV_PATH_SIZE];
    if (!expandInto("$(ZARNWORKINGDIR)", folder, SRV_FOLDER_SIZE))
        return false;
    if (folder[0] != '\0')
        return true;
    if (!expandInto("$(APPDATA)", base, sizeof base))
        return false;
    if (base[0] == '\0' && !expandInto("$(XDG_DATA_HOME)", base, sizeof base))
        return false;
    if (base[0] == '\0' && !expandInto("$(HOME)/.local/share", base, sizeof base))
        return false;
    return joinPath(folder, SRV_FOLDER_SIZE, base, "MorvaneServer");
}

// "$(MORVANESERVERDIR)/ServerDefinitions.xml", with the built-in folder when
// the variable is unset or empty.
bool morvaneserver::serverDefinitionsPath(char* out, size_t size) {
    char folder[SRV_PATH_SIZE];
    if (!expandInto("$(MORVANESERVERDIR)", folder, sizeof folder))
        return false;
    if (folder[0] == '\0')
        std::snprintf(folder, sizeof folder, "%s", MORVANE_DEFAULT_SERVER_DIR);
    return joinPath(out, size, folder, "ServerDefinitions.xml");
}

// ------------------------------------------------------- start-up folders

// Variables that name a folder or file the process uses after it has changed
// into its working folder.
static const char* const PATH_VARIABLES[] = {"DRAVIKDIR",    "MORVANESERVERDIR", "ZARNWORKINGDIR",
                                             "ZARN_LOG_DIR", "ZARN_PLUGIN_DIR",  "ZARN_SIMBOARD_FILE"};

static std::string absolutePath(const std::string& launch, const std::string& path) {
    return path.empty() || path[0] == '/' ? path : launch + "/" + path;
}

// A list of folders separated by ':', each relative one taken in launch.
static std::string absoluteFolders(const std::string& launch, const char* list) {
    std::string result;
    for (const char* at = list; at != NULL;) {
        const char* colon = std::strchr(at, ':');
        result += absolutePath(launch, colon != NULL ? std::string(at, colon) : std::string(at));
        if (colon != NULL)
            result += ':';
        at = colon != NULL ? colon + 1 : NULL;
    }
    return result;
}

// Fixes the folders once, before the first log line: relative folders of the
// environment are taken in the folder the server was started from (the
// start-up changes into the working folder later, and each folder must mean
// the same before and after), the working folder is chosen, and the log
// folder defaults to it, so that every log file, the first lines of the main
// log included, lands in one folder.
void morvaneserver::fixStartupFolders(void) {
    char launch[4096];
    if (getcwd(launch, sizeof launch) == NULL)
        return; // the folders stay as given; the start-up reports what fails
    try {
        for (const char* name : PATH_VARIABLES) {
            const char* value = std::getenv(name);
            if (value != NULL && value[0] != '\0')
                setenv(name, absolutePath(launch, value).c_str(), 1);
        }
        const char* dataFolders = std::getenv(SRV_DATA_FOLDERS_VARIABLE);
        if (dataFolders != NULL)
            setenv(SRV_DATA_FOLDERS_VARIABLE, absoluteFolders(launch, dataFolders).c_str(), 1);
        char workingFolder[SRV_FOLDER_SIZE];
        if (chooseWorkingFolder(workingFolder)) {
            setenv("ZARNWORKINGDIR", absolutePath(launch, workingFolder).c_str(), 1);
            const char* logFolder = std::getenv("ZARN_LOG_DIR");
            if (logFolder == NULL || logFolder[0] == '\0')
                setenv("ZARN_LOG_DIR", std::getenv("ZARNWORKINGDIR"), 1);
        }
    } catch (...) {
        // Out of memory this early: the folders stay as given.
    }
}

SRVStatus_t SRV_InitGlobals(void) {
    SRV_Globals = static_cast<SRVGlobals_t*>(c_calloc(1, sizeof(SRVGlobals_t)));
    if (SRV_Globals == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't allocate global flags.");
        return SRV_ERR_RESOURCE;
    }
    if (!chooseWorkingFolder(SRV_Globals->workingFolder)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't get path.");
        return SRV_ERR_RESOURCE;
    }
    char definitionsPath[SRV_PATH_SIZE * 2];
    if (!serverDefinitionsPath(definitionsPath, sizeof definitionsPath)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't get path.");
        return SRV_ERR_RESOURCE;
    }
    // A document that can't be read shows up as the level failure below.
    SRV_Globals->serverDefinitions = c_xml_newfile(definitionsPath);
    SRV_Globals->libraryDefinitions = c_getLibraryDefinitions();
    if (SRV_GetCategoryIndexLevels() != 0)
        return SRV_ERR_GENERIC;
    return SRV_SUCCESS;
}
