// The lookup of plug-in functions by code name. The plug-in of parameter
// functions is opened once per process, from $ZARN_PLUGIN_DIR or else the
// build's library folder; a code name is the name the plug-in exports.
#include "ZarnUtility.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

#ifndef ZARN_DEFAULT_PLUGIN_DIR
#define ZARN_DEFAULT_PLUGIN_DIR "."
#endif

static const c_LogModule_t ZARN_LOG = {"ZarnUtilityLog.txt", "ZarnPlugin"};

namespace {

const char* const PLUGIN_FILE = "libKelsor.so";

void* pluginHandle = NULL;
std::string pluginPath; // as the loader knows the plug-in

void openPlugin() {
    const char* folder = getenv("ZARN_PLUGIN_DIR");
    if (folder == NULL || *folder == '\0')
        folder = ZARN_DEFAULT_PLUGIN_DIR;
    std::string path = std::string(folder) + "/" + PLUGIN_FILE;
    pluginHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pluginHandle == NULL) {
        const char* reason = dlerror();
        c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "Can't open plug-in '%s': %s", path.c_str(),
                  reason != NULL ? reason : "unknown error");
        return;
    }
    struct link_map* map = NULL;
    if (dlinfo(pluginHandle, RTLD_DI_LINKMAP, &map) == 0 && map != NULL && map->l_name != NULL)
        pluginPath = map->l_name;
}

// dlsym also searches the plug-in's dependencies; only the plug-in's own
// functions answer to code names.
bool definedByPlugin(void* symbol) {
    Dl_info info;
    if (dladdr(symbol, &info) == 0 || info.dli_fname == NULL)
        return false;
    return pluginPath.empty() || pluginPath == info.dli_fname;
}

} // namespace

extern "C" void* c_xml_getfunctionpointerfromcodename(xmlDocPtr document, const char* codeName) {
    (void)document; // every code name of every document lives in the one plug-in
    static std::once_flag once;
    try {
        std::call_once(once, openPlugin);
    } catch (...) {
        return NULL;
    }
    if (pluginHandle == NULL || codeName == NULL || *codeName == '\0')
        return NULL;
    void* symbol = dlsym(pluginHandle, codeName);
    if (symbol == NULL || !definedByPlugin(symbol))
        return NULL;
    return symbol;
}
