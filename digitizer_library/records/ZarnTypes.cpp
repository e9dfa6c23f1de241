/*
 * ZarnTypes: the library-wide state prepared when libDravik.so is loaded.
 *
 * A load-time constructor seeds the random generator, finds the base folder
 * ("$(DRAVIKDIR)", else the built-in default), reads "Definitions.xml" from it,
 * builds the access-type and unit tables and fills every DPPL_PARAM_* code.
 * Nothing of this can fail the load: a missing document leaves the tables
 * empty and every code at -1. The unload destructor frees what the load made.
 * Between the two the state is only read, from any thread.
 */
#include "ZarnTypes.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#ifndef DRAVIK_DEFAULT_DIR
#error "DRAVIK_DEFAULT_DIR (the built-in definitions folder) must be defined by the build"
#endif

static const c_LogModule_t ZarnTypes_log = {"DravikLog.txt", "ZarnTypes"};

/* ---------------------------------------------------------- code variables */

extern "C" {
#define DPPL_PARAM_CODE(name) int32_t DPPL_PARAM_##name = DPPL_INVALID_PARAMETER;
#include "ZarnParamCodes.def"
#undef DPPL_PARAM_CODE
}

namespace {

struct ParamCodeSlot {
    const char* codeName;
    int32_t* variable;
};

const ParamCodeSlot kParamCodeSlots[] = {
#define DPPL_PARAM_CODE(name) {"DPPL_PARAM_" #name, &DPPL_PARAM_##name},
#include "ZarnParamCodes.def"
#undef DPPL_PARAM_CODE
};

const char kBasePathMacro[] = "$(DRAVIKDIR)";
const char kDefaultBasePath[] = DRAVIK_DEFAULT_DIR;
const char kDefinitionsFileName[] = "Definitions.xml";
const uint8_t kUnknownCode = 0xFF;

/* ------------------------------------------------------- library state */

xmlDocPtr libraryDefinitions = NULL;
/* Either kDefaultBasePath (never freed) or the expanded macro (owned). */
const char* basePath = kDefaultBasePath;
c_map_t accessTypeTable = {};
c_map_t unitTable = {};
bool tablesReady = false;

void seedRandomGenerator() { c_srand((uint32_t)time(NULL)); }

void createTables() {
    tablesReady = false;
    if (_map_init(&accessTypeTable, 8) == 0) {
        if (_map_init(&unitTable, 32) == 0)
            tablesReady = true;
        else
            _map_deinit(&accessTypeTable);
    }
    if (!tablesReady)
        c_lprintf(&ZarnTypes_log, C_LOG_ERROR, __LINE__,
                  "Can't create the access type and unit tables. System not correctly initialized.");
}

/* A relative folder taken in the current folder of the load (the one the
 * process was started from), so that it names the same folder after the
 * process changes its current folder. The text is freed or kept. */
char* absoluteFolder(char* folder) {
    char current[4096];
    if (folder[0] == '/' || getcwd(current, sizeof current) == NULL)
        return folder;
    size_t size = strlen(current) + 1 + strlen(folder) + 1;
    char* absolute = (char*)c_malloc(size);
    if (absolute == NULL)
        return folder;
    snprintf(absolute, size, "%s/%s", current, folder);
    c_free(folder);
    return absolute;
}

void chooseBasePath() {
    char* expanded = c_getExpandedString(kBasePathMacro);
    if (expanded != NULL && expanded[0] != '\0') {
        basePath = absoluteFolder(expanded);
        return;
    }
    c_free(expanded);
    c_lprintf(&ZarnTypes_log, C_LOG_ERROR, __LINE__,
              "Can't get value of env. variable '%s'. Using default value '%s'. System may be not correctly "
              "initialized.",
              kBasePathMacro, kDefaultBasePath);
    basePath = kDefaultBasePath;
}

void loadDefinitionsDocument() {
    /* base path, '/', file name and terminator */
    size_t size = strlen(basePath) + 1 + sizeof kDefinitionsFileName;
    char* path = (char*)c_malloc(size);
    if (path == NULL) {
        c_lprintf(&ZarnTypes_log, C_LOG_ERROR, __LINE__,
                  "Can't allocate memory for complete definitions file path. System not correctly initialized.");
        return;
    }
    snprintf(path, size, "%s/%s", basePath, kDefinitionsFileName);
    libraryDefinitions = c_xml_newfile(path);
    if (libraryDefinitions == NULL)
        c_lprintf(&ZarnTypes_log, C_LOG_ERROR, __LINE__,
                  "Invalid definitions document. System not correctly initialized.");
    c_free(path);
}

/* The low byte of an element's code; an element without a usable code gets
 * the "unknown" byte, so that its lookups answer as for a missing name. */
uint8_t codeByteOf(xmlNodePtr element) {
    double code = 0.0;
    if (c_xml_getcodefromnode(element, &code) != 0 || !isfinite(code) || fabs(code) >= 9.0e18)
        return kUnknownCode;
    return (uint8_t)((int64_t)code & 0xFF);
}

/* Stores the code byte of every child element of the section under its name
 * (a later element of the same name replaces an earlier one). */
void fillTable(c_map_t* table, const char* sectionQuery) {
    c_xml_nodeset_t* set = c_xml_getnodeset(libraryDefinitions, sectionQuery);
    if (set == NULL)
        return;
    for (int i = 0; i < set->count; i++) {
        xmlNodePtr element = set->nodes[i];
        if (element == NULL || element->name == NULL)
            continue;
        uint8_t code = codeByteOf(element);
        _map_set(table, (const char*)element->name, &code, sizeof code);
    }
    c_xml_freenodeset(set);
}

void initParamCodes() {
    for (const ParamCodeSlot& slot : kParamCodeSlots) {
        int32_t code = 0;
        if (c_getParamCodeFromCodeName(slot.codeName, &code) == 0) {
            *slot.variable = code;
        } else {
            *slot.variable = DPPL_INVALID_PARAMETER;
            c_lprintf(&ZarnTypes_log, C_LOG_ERROR, __LINE__,
                      "can't parse value of parameter code '%s'. This code will have INVALID_PARAMETER value.",
                      slot.codeName);
        }
    }
}

uint8_t lookUpCode(c_map_t* table, const char* name) {
    if (!tablesReady || name == NULL)
        return kUnknownCode;
    const uint8_t* code = (const uint8_t*)_map_get(table, name);
    return code != NULL ? *code : kUnknownCode;
}

} // namespace

/* ------------------------------------------------------ load and unload */

__attribute__((constructor)) static void _initLibrary(void) {
    seedRandomGenerator();
    createTables();
    chooseBasePath();
    loadDefinitionsDocument();
    if (tablesReady) {
        fillTable(&accessTypeTable, "/Definitions/AccessTypes/*");
        fillTable(&unitTable, "/Definitions/UnitsOfMeasurement/*");
    }
    initParamCodes();
}

/* The code variables keep their values: other libraries' unload code may
 * still read them. */
__attribute__((destructor)) static void _deinitLibrary(void) {
    c_xml_freedoc(libraryDefinitions);
    libraryDefinitions = NULL;
    if (basePath != kDefaultBasePath)
        c_free((void*)basePath);
    basePath = kDefaultBasePath;
    if (tablesReady) {
        _map_deinit(&accessTypeTable);
        _map_deinit(&unitTable);
        tablesReady = false;
    }
}

/* --------------------------------------------------------------- getters */

extern "C" {

const char* c_getBasePath(void) { return basePath; }

xmlDocPtr c_getLibraryDefinitions(void) { return libraryDefinitions; }

uint8_t c_getAccessTypeCode(const char* name) { return lookUpCode(&accessTypeTable, name); }

uint8_t c_getUomCode(const char* name) { return lookUpCode(&unitTable, name); }

} // extern "C"
