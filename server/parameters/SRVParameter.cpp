/*
 * SRVParameter: creation, reading, writing and freeing of one server
 * parameter, and the list type of complex parameters.
 */
#include "SRVParameter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "SRV_Globals.h"

namespace {

const c_LogModule_t kLog = {"SRVParameterLog.txt", "SRVParameter"};

constexpr size_t kQuerySize = 512;
constexpr size_t kTextMax = SRV_PARAM_TEXT_SIZE - 1;

/* --------------------------------------------------------------- helpers */

xmlDocPtr libraryDefinitions() {
    if (SRV_Globals != nullptr && SRV_Globals->libraryDefinitions != nullptr)
        return SRV_Globals->libraryDefinitions;
    return c_getLibraryDefinitions();
}

xmlDocPtr serverDefinitions() { return SRV_Globals != nullptr ? SRV_Globals->serverDefinitions : nullptr; }

/* The index level of a server category slot, or SRV_INVALID_LEVEL. */
int32_t categoryLevel(int slot) { return SRV_Globals != nullptr ? SRV_Globals->levels[slot] : SRV_INVALID_LEVEL; }

bool isElement(xmlNodePtr node, const char* name) {
    return node != nullptr && node->type == XML_ELEMENT_NODE && std::strcmp((const char*)node->name, name) == 0;
}

xmlNodePtr nextSiblingNamed(xmlNodePtr node, const char* name) {
    for (xmlNodePtr next = node->next; next != nullptr; next = next->next) {
        if (isElement(next, name))
            return next;
    }
    return nullptr;
}

const char* attribute(xmlNodePtr element, const char* name) { return c_xml_getattributevalue(element, name, 0); }

/* The text of an attribute met while walking an element's attributes: an
 * attribute without text counts as empty text. */
const char* attributeText(xmlNodePtr element, xmlAttrPtr attr) {
    const char* text = c_xml_getattributevalue(element, (const char*)attr->name, 0);
    return text != nullptr ? text : "";
}

void copyText(char* destination, const char* source) {
    std::strncpy(destination, source, kTextMax);
    destination[kTextMax] = '\0';
}

/* ------------------------------------------------------ value list frees */

void freeBindingList(List_t** bindings) {
    if (*bindings == nullptr)
        return;
    for (List_t* node = *bindings; node != nullptr; node = node->next)
        c_free(node->data);
    List_free(bindings);
}

void freeParamValue(SRVParamValue_t* value) {
    if (value == nullptr)
        return;
    freeBindingList(&value->utilParamValueBindings);
    c_free(value);
}

void freeValueList(List_t** values) {
    if (*values == nullptr)
        return;
    for (List_t* node = *values; node != nullptr; node = node->next)
        freeParamValue((SRVParamValue_t*)node->data);
    List_free(values);
}

/* Drops what an earlier "utilparam" attribute made, so that a later one
 * replaces it without leaking. */
void releaseKind(SRVParameter_t* param) {
    freeValueList(&param->paramValueList);
    if (param->type == SRV_PARAM_TYPE_SERVER_ONLY)
        c_pdelete(param->utilParam);
    param->utilParam = nullptr;
    param->type = SRV_PARAM_TYPE_UNDEFINED;
}

/* --------------------------------------------------------- kind builders */

void takeLibraryParameter(SRVParameter_t* param, c_Parameter_t* utilParam, int32_t type) {
    param->utilParam = utilParam;
    param->paramValueList = nullptr;
    param->valueCategory = (uint32_t)utilParam->listCategory;
    param->value = utilParam->value;
    param->type = type;
}

bool buildServerOnly(c_Digitizer_t* dig, xmlNodePtr element, SRVParameter_t* param) {
    c_Parameter_t* utilParam = nullptr;
    xmlNodePtr definition =
        c_findDefinitionsNodeFromBoardNodeExtended(element, serverDefinitions(), "ServerParameters");
    if (definition != nullptr)
        utilParam = c_pfromnode(nullptr, element, definition, param->index[param->level]);
    if (utilParam == nullptr) {
        const char* codename = attribute(element, "codename");
        c_extendedLogMsg(&kLog, dig, C_LOG_DETAIL, __LINE__, "Can't create utils parameter for server parameter %s",
                         codename != nullptr ? codename : "NULL");
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "can't create server parameter '%s'.", param->codename);
        return false;
    }
    takeLibraryParameter(param, utilParam, SRV_PARAM_TYPE_SERVER_ONLY);
    return true;
}

bool buildSimple(c_Digitizer_t* dig, const char* libCodename, SRVParameter_t* param) {
    c_Parameter_t* utilParam = SRVParameter_FindUtilParam(dig, libCodename, param);
    if (utilParam == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_DETAIL, __LINE__, "Can't find parameter '%s'.", libCodename);
        c_extendedLogMsg(&kLog, dig, C_LOG_DETAIL, __LINE__,
                         "can't create simple server parameter '%s' from utils param '%s'.", param->codename,
                         libCodename);
        return false;
    }
    takeLibraryParameter(param, utilParam, SRV_PARAM_TYPE_SIMPLE);
    return true;
}

bool applyUtilParam(c_Digitizer_t* dig, xmlNodePtr element, const char* text, SRVParameter_t* param) {
    releaseKind(param);
    if (std::strcmp(text, "DPPL_PARAM_INVALID") == 0) {
        if (SRVParameter_CreateComplex(dig, element, param) != 0) {
            c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "can't create complex server parameter '%s'.",
                             param->codename);
            return false;
        }
        param->type = SRV_PARAM_TYPE_COMPLEX;
        return true;
    }
    if (text[0] == '\0')
        return buildServerOnly(dig, element, param);
    return buildSimple(dig, text, param);
}

/* A decimal code as "%d" reads it, refusing what does not fit 32 bits. */
bool parseCode(const char* text, int32_t* code) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return false;
    *code = (int32_t)value;
    return true;
}

/* What the attribute walk has seen of the mandatory attributes. */
struct Seen {
    bool code = false;
    bool name = false;
    bool utilparam = false;
};

/* Applies the attributes of one element in document order; false after a
 * logged failure. */
bool walkAttributes(c_Digitizer_t* dig, xmlNodePtr element, SRVParameter_t* param, Seen* seen) {
    for (xmlAttrPtr attr = element->properties; attr != nullptr; attr = attr->next) {
        const char* name = (const char*)attr->name;
        const char* text = attributeText(element, attr);
        if (std::strcmp(name, "code") == 0) {
            if (!parseCode(text, &param->code)) {
                c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "can't read integer code from parameter '%s'.",
                                 param->codename);
                return false;
            }
            seen->code = true;
        } else if (std::strcmp(name, "name") == 0) {
            if (std::strlen(text) > kTextMax) {
                c_extendedLogMsg(&kLog, dig, C_LOG_WARNING, __LINE__,
                                 "parameter '%s' name '%s' too long. will be cropped to the first %zu characters.",
                                 param->codename, text, kTextMax);
            }
            copyText(param->name, text);
            seen->name = true;
        } else if (std::strcmp(name, "utilparam") == 0) {
            seen->utilparam = true;
            if (!applyUtilParam(dig, element, text, param))
                return false;
        }
    }
    return true;
}

SRVParameter_t* newParameter() {
    SRVParameter_t* param = (SRVParameter_t*)c_calloc(1, sizeof(SRVParameter_t));
    if (param == nullptr)
        return nullptr;
    param->code = -1;
    param->type = SRV_PARAM_TYPE_UNDEFINED;
    for (uint32_t& slot : param->index)
        slot = SRV_PARAM_NO_INDEX;
    return param;
}

/* The definition element "ServerParameters/<category>/<codename>" of a
 * "Parameter" element, or NULL after logging. */
xmlNodePtr findServerDefinition(c_Digitizer_t* dig, xmlNodePtr node, const char* codename) {
    xmlNodePtr parent = node->parent;
    const char* category = parent != nullptr && parent->type == XML_ELEMENT_NODE && parent->name != nullptr
                               ? (const char*)parent->name
                               : "";
    char path[kQuerySize];
    if (c_xml_snprintf(path, sizeof path, "ServerParameters/%s/%s", category, codename) < 0) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "can't find descendant '%s' from definition file.", path);
        return nullptr;
    }
    xmlNodePtr definition = c_xml_getfirstdescendantelementfromname(c_xml_getrootnode(serverDefinitions()), path);
    if (definition == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "can't find descendant '%s' from definition file.", path);
    }
    return definition;
}

/* ------------------------------------------------------ complex builder */

/* The code of a value code name in the library's value category, read from
 * "/Definitions/ParameterValues/ * /<name>"; false after logging. */
bool bindingValueCode(c_Digitizer_t* dig, const char* valueName, double* code) {
    char query[kQuerySize];
    xmlNodePtr valueNode = nullptr;
    if (c_xml_snprintf(query, sizeof query, "/Definitions/ParameterValues/*/%s", valueName) >= 0) {
        valueNode = c_xml_getfirstnodefromxpathquery(libraryDefinitions(), query);
    }
    if (valueNode == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't find value node with name '%s' (xpath query '%s').",
                         valueName, query);
        return false;
    }
    if (c_xml_getcodefromnodechild(valueNode, code) != 0) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't get code from parameter value node '%s'.",
                         valueName);
        return false;
    }
    return true;
}

bool listAllows(const c_Parameter_t* utilParam, double code) {
    if (utilParam->type != C_PARAM_TYPE_LIST)
        return true;
    for (uint16_t i = 0; i < utilParam->count && i < C_PARAM_MAX_VALUES; ++i) {
        if (utilParam->values[i].value == code)
            return true;
    }
    return false;
}

/* Appends element to *list, creating the list on first use; false after
 * logging. */
bool appendToList(c_Digitizer_t* dig, List_t** list, void* element, const char* outOfMemoryText) {
    if (*list == nullptr) {
        *list = List_create();
        if (*list == nullptr) {
            c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "%s", outOfMemoryText);
            return false;
        }
    }
    return List_add(element, *list) == 0;
}

/* One "utilparam" child of a "Value": a binding appended to *bindings. */
bool addBinding(c_Digitizer_t* dig, xmlNodePtr child, SRVParameter_t* param, List_t** bindings) {
    const char* libCodename = attribute(child, "codename");
    const char* valueName = attribute(child, "value");
    if (libCodename == nullptr || valueName == nullptr)
        return false;
    c_Parameter_t* utilParam = SRVParameter_FindUtilParam(dig, libCodename, param);
    if (utilParam == nullptr)
        return false;
    double code = 0.0;
    if (!bindingValueCode(dig, valueName, &code))
        return false;
    if (!listAllows(utilParam, code)) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "'%s' doesn't allow a value '%.2f'", utilParam->name, code);
        c_extendedLogMsg(&kLog, dig, C_LOG_WARNING, __LINE__, "Can't bind value '%.3f' to parameter '%s'", code,
                         libCodename);
        return false;
    }
    SRVParamBinding_t* binding = (SRVParamBinding_t*)c_calloc(1, sizeof(SRVParamBinding_t));
    if (binding == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                         "Can't allocate memory for parameter binding of parameter '%s' to value '%.2f'.", libCodename,
                         code);
        c_extendedLogMsg(&kLog, dig, C_LOG_WARNING, __LINE__, "Can't bind value '%.3f' to parameter '%s'", code,
                         libCodename);
        return false;
    }
    binding->utilParam = utilParam;
    binding->value = code;
    if (!appendToList(dig, bindings, binding, "Can't allocate a list of values. Out of memory")) {
        c_free(binding);
        return false;
    }
    return true;
}

/* One "Value" element: a new value with its bindings, or NULL. */
SRVParamValue_t* buildValue(c_Digitizer_t* dig, xmlNodePtr valueElement, const char* category, SRVParameter_t* param) {
    const char* valueName = attribute(valueElement, "codename");
    if (valueName == nullptr)
        valueName = "NULL";
    xmlNodePtr child = c_xml_getfirstchildrenelementfromname(valueElement, "utilparam");
    if (child == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                         "Invalid binded parameters list created. This probably means that value '%s' of parameter "
                         "'%s' specifies invalid internal values.",
                         valueName, param->codename);
        return nullptr;
    }
    List_t* bindings = nullptr;
    for (; child != nullptr; child = nextSiblingNamed(child, "utilparam")) {
        if (!addBinding(dig, child, param, &bindings)) {
            freeBindingList(&bindings);
            return nullptr;
        }
    }
    char section[kQuerySize];
    if (c_xml_snprintf(section, sizeof section, "ParameterValues/%s", category) < 0) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't create query to fetch value '%s' of parameter '%s'",
                         valueName, param->codename);
        freeBindingList(&bindings);
        return nullptr;
    }
    double code = 0.0;
    if (c_xml_getcodefromcodename(libraryDefinitions(), section, valueName, &code) != 0) {
        freeBindingList(&bindings);
        return nullptr;
    }
    SRVParamValue_t* value = (SRVParamValue_t*)c_calloc(1, sizeof(SRVParamValue_t));
    if (value == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't allocate memory for parameter value.");
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't create value '%s' for server parameter '%s'.",
                         valueName, param->codename);
        freeBindingList(&bindings);
        return nullptr;
    }
    value->utilParamValueBindings = bindings;
    value->code = code;
    return value;
}

/* ------------------------------------------------------ simple get and set */

int getSimple(c_Digitizer_t* dig, SRVParameter_t* param, double* value) {
    int status = param->utilParam != nullptr ? c_pget(dig, param->utilParam, value) : DPPL_ERR_NULL_ARGUMENT;
    if (status != 0) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't get simple parameter '%s' (c_pget() error %i)",
                         param->name, status);
        return -1;
    }
    return 0;
}

int setSimple(c_Digitizer_t* dig, SRVParameter_t* param, double value) {
    int status = param->utilParam != nullptr ? c_pset(dig, param->utilParam, value) : DPPL_ERR_NULL_ARGUMENT;
    if (status != 0) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                         "Can't set simple parameter '%s' to value '%.3f' (c_pset() error %i)", param->name, value,
                         status);
        return -1;
    }
    /* The library's set path reads the value back: keep what the board took
     * (clamped, rounded or refused), not what was asked for. */
    param->value = param->utilParam->value;
    return 0;
}

int setComplex(c_Digitizer_t* dig, SRVParameter_t* param, double value) {
    if (param->paramValueList == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__,
                  "List_t 'paramValueList' cannot be NULL. Can't create parameter from it.");
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't find value '%.3f' in parameter values list.", value);
        return -1;
    }
    const SRVParamValue_t* chosen = nullptr;
    for (List_t* node = param->paramValueList->first; node != nullptr; node = node->next) {
        const SRVParamValue_t* candidate = (const SRVParamValue_t*)node->data;
        if (candidate != nullptr && candidate->code == value) {
            chosen = candidate;
            break;
        }
    }
    if (chosen == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't find value '%.3f' in parameter values list.", value);
        return -1;
    }
    List_t* bindings = chosen->utilParamValueBindings;
    for (List_t* node = bindings != nullptr ? bindings->first : nullptr; node != nullptr; node = node->next) {
        const SRVParamBinding_t* binding = (const SRVParamBinding_t*)node->data;
        int status = c_pset(dig, binding->utilParam, binding->value);
        if (status != 0) {
            c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                             "Can't set utils parameter '%s' to value '%.3f' (c_pset() error %i), which is required "
                             "to set value '%.3f' of server parameter '%s'.",
                             binding->utilParam->codename, binding->value, status, value, param->name);
            return -2;
        }
    }
    param->value = value;
    return 0;
}

} // namespace

/* ------------------------------------------------------------------ lists */

List_t* List_create(void) {
    List_t* list = (List_t*)c_calloc(1, sizeof(List_t));
    if (list == nullptr)
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "Can' allocate memory for List_t.");
    return list;
}

int List_add(void* element, List_t* list) {
    if (element == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "List_t doesn' allow to add NULL elements.");
        return -1;
    }
    if (list == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "List_t cannot be NULL. Can't add value to it.");
        return -2;
    }
    if (list->first == nullptr) {
        list->data = element;
        list->next = nullptr;
        list->prev = nullptr;
        list->first = list;
        list->last = list;
        return 0;
    }
    List_t* node = (List_t*)c_calloc(1, sizeof(List_t));
    if (node == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "Can' allocate memory for List_t.");
        return -3;
    }
    List_t* oldLast = list->first->last;
    node->data = element;
    node->first = list->first;
    node->prev = oldLast;
    oldLast->next = node;
    List_setLast(list->first, node);
    return 0;
}

void List_free(List_t** list) {
    if (list == nullptr || *list == nullptr)
        return;
    List_t* node = (*list)->first != nullptr ? (*list)->first : *list;
    while (node != nullptr) {
        List_t* next = node->next;
        c_free(node);
        node = next;
    }
    *list = nullptr;
}

void List_setLast(List_t* list, List_t* node) {
    for (List_t* each = list; each != nullptr; each = each->next)
        each->last = node;
}

/* ------------------------------------------------------ server parameters */

int32_t SRVParameter_GetType(const SRVParameter_t* param) {
    return param != nullptr ? param->type : SRV_PARAM_TYPE_UNDEFINED;
}

SRVParameter_t* SRVParameter_Create(c_Digitizer_t* dig, xmlNodePtr node, const uint32_t* indexVector, int32_t level) {
    const char* nodeCodename = node != nullptr ? attribute(node, "codename") : nullptr;
    if (nodeCodename == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "node %s misses codename specification.",
                         node != nullptr ? (const char*)node->name : "NULL");
        return nullptr;
    }
    /* The owner's index goes into slot `level` of a four-slot vector. */
    if (level < 0 || level >= SRV_PARAM_INDEX_SLOTS) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Invalid index level %i for server parameter '%s'.", level,
                         nodeCodename);
        return nullptr;
    }
    xmlNodePtr definition = findServerDefinition(dig, node, nodeCodename);
    if (definition == nullptr)
        return nullptr;

    SRVParameter_t* param = newParameter();
    if (param == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "Can't allocate a server parameter. Out of memory.");
        return nullptr;
    }
    const char* definitionName = (const char*)definition->name;
    if (std::strlen(definitionName) > kTextMax) {
        c_extendedLogMsg(&kLog, dig, C_LOG_WARNING, __LINE__,
                         "parameter codename '%s' too long. will be cropped to the first %zu characters (possible "
                         "errors).",
                         definitionName, kTextMax);
    }
    copyText(param->codename, definitionName);
    if (indexVector != nullptr) {
        for (int32_t slot = 0; slot <= level; ++slot)
            param->index[slot] = indexVector[slot];
    }
    param->level = level;

    Seen seen;
    bool built = walkAttributes(dig, definition, param, &seen) && walkAttributes(dig, node, param, &seen);
    if (built) {
        const char* missing = !seen.code ? "code" : !seen.name ? "name" : !seen.utilparam ? "utilparam" : nullptr;
        if (missing != nullptr) {
            c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "node '%s' misses mandatory attribute %s.",
                             nodeCodename, missing);
            built = false;
        }
    }
    if (built && (param->utilParam == nullptr) == (param->paramValueList == nullptr)) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Unexpected error creating parameter '%s'.", nodeCodename);
        built = false;
    }
    if (!built) {
        SRVParameter_Free(param);
        return nullptr;
    }
    return param;
}

int SRVParameter_CreateComplex(c_Digitizer_t* dig, xmlNodePtr element, SRVParameter_t* param) {
    const char* codename = attribute(element, "codename");
    if (codename == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Server parameter doesn't specify a codename.");
        return -1;
    }
    const char* category = attribute(element, "category");
    if (category == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Server parameter doesn't specify a category.");
        return -2;
    }
    const char* defaultName = attribute(element, "defval");
    if (defaultName == nullptr)
        defaultName = "UNDEFINED_DEFAULT_VALUE";

    xmlNodePtr root = c_xml_getrootnode(libraryDefinitions());
    if (root == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't get definition document root node. Unknown error.");
        return -3;
    }
    char section[kQuerySize];
    xmlNodePtr categoryNode = nullptr;
    if (c_xml_snprintf(section, sizeof section, "ParameterValues/%s", category) >= 0) {
        categoryNode = c_xml_getfirstdescendantelementfromname(root, section);
    }
    if (categoryNode == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't find category with name '%s' (xpath query '%s').",
                         category, section);
        return -4;
    }
    double categoryCode = 0.0;
    if (c_xml_getcodefromnode(categoryNode, &categoryCode) != 0)
        return -5;
    param->valueCategory = (uint32_t)(int32_t)categoryCode;
    param->utilParam = nullptr;

    xmlNodePtr valueElement = c_xml_getfirstchildrenelementfromname(element, "Value");
    if (valueElement == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                         "Invalid parameter values list created. This probably means that parameter '%s' specifies "
                         "invalid values.",
                         param->codename);
        return -6;
    }
    List_t* values = nullptr;
    double defaultCode = 0.0;
    bool first = true;
    for (; valueElement != nullptr; valueElement = nextSiblingNamed(valueElement, "Value")) {
        SRVParamValue_t* value = buildValue(dig, valueElement, category, param);
        if (value == nullptr) {
            freeValueList(&values);
            return -7;
        }
        const char* valueName = attribute(valueElement, "codename");
        if (first || (valueName != nullptr && std::strcmp(valueName, defaultName) == 0))
            defaultCode = value->code;
        first = false;
        if (!appendToList(dig, &values, value, "can't create 'srvParamValueList'. Out of memory")) {
            freeParamValue(value);
            freeValueList(&values);
            return -8;
        }
    }

    /* Creating a complex parameter writes its default into the board. */
    param->value = defaultCode;
    param->paramValueList = values;
    param->type = SRV_PARAM_TYPE_COMPLEX;
    int status = SRVParameter_SetValue(dig, param, defaultCode);
    if (status != 0) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Parameter set to value %.3f failed with error %i.",
                         defaultCode, status);
        c_extendedLogMsg(&kLog, dig, C_LOG_WARNING, __LINE__, "Can't set parameter '%s' to value '%.3f'.",
                         param->codename, defaultCode);
        return -9;
    }
    return 0;
}

c_Parameter_t* SRVParameter_FindUtilParam(c_Digitizer_t* dig, const char* libCodename, const SRVParameter_t* param) {
    if (libCodename == nullptr || param == nullptr)
        return nullptr;
    char query[kQuerySize];
    xmlNodePtr definition = nullptr;
    if (c_xml_snprintf(query, sizeof query, "/Definitions/Parameters/*/%s", libCodename) >= 0) {
        definition = c_xml_getfirstnodefromxpathquery(libraryDefinitions(), query);
    }
    if (definition == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "can't find parameter '%s' in definitions file.",
                         libCodename);
        return nullptr;
    }
    if (definition->parent == nullptr || definition->parent->type != XML_ELEMENT_NODE) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                         "Invalid definition node for parameter '%s': no available parent.", libCodename);
        return nullptr;
    }
    const char* codeText = attribute(definition, "code");
    if (codeText == nullptr) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Parameter '%s' doesn't specify a 'code' attribute.",
                         libCodename);
        return nullptr;
    }
    char* end = nullptr;
    long code = std::strtol(codeText, &end, 0);
    if (end == codeText) {
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Can't parse code from string '%s' for parameter '%s'.",
                         codeText, libCodename);
        return nullptr;
    }

    /* The owner's index at the level of the matching server category: an
     * energy-spectrum parameter naming a channel parameter gets its channel. */
    auto indexAt = [param](int slot) -> int32_t {
        int32_t level = categoryLevel(slot);
        if (level < 0 || level >= SRV_PARAM_INDEX_SLOTS)
            return (int32_t)SRV_PARAM_NO_INDEX;
        return (int32_t)param->index[level];
    };
    const char* parentName = (const char*)definition->parent->name;
    int32_t libCode = (int32_t)code;
    switch (getParamCategoryFromName(parentName)) {
    case PARAM_CATEGORY_BOARD: return c_pfind(dig, libCode);
    case PARAM_CATEGORY_CHANNEL: return c_pfindc(dig, indexAt(SRV_LEVEL_CHANNEL), libCode);
    case PARAM_CATEGORY_LVDSGROUP: return c_pfindlg(dig, indexAt(SRV_LEVEL_LVDS_GROUP), libCode);
    case PARAM_CATEGORY_VIRTUALTRACE: return c_pfindvt(dig, indexAt(SRV_LEVEL_VIRTUAL_TRACE), libCode);
    case PARAM_CATEGORY_HVCHANNEL: return c_pfindhvc(dig, indexAt(SRV_LEVEL_HV_CHANNEL), libCode);
    case PARAM_CATEGORY_HVRANGE:
        return c_pfindhvr(dig, indexAt(SRV_LEVEL_HV_CHANNEL), indexAt(SRV_LEVEL_HV_RANGE), libCode);
    case PARAM_CATEGORY_MONOUT: return c_pfindmo(dig, indexAt(SRV_LEVEL_MON_OUT), libCode);
    default:
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__, "Parameter '%s' has unsupported parent '%s'.", libCodename,
                         parentName);
        return nullptr;
    }
}

int SRVParameter_GetValue(c_Digitizer_t* dig, SRVParameter_t* param, double* value) {
    if (dig == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "'dig' cannot be NULL. Can't get parameter value.");
        return -1;
    }
    if (param == nullptr || value == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "SRVParameter_t 'param' cannot be NULL. Can't get parameter value.");
        return -2;
    }
    switch (param->type) {
    case SRV_PARAM_TYPE_COMPLEX: *value = param->value; return 0;
    case SRV_PARAM_TYPE_SERVER_ONLY:
        c_extendedLogMsg(&kLog, dig, C_LOG_DETAIL, __LINE__, "Get Server Parameter as a simple parameter.");
        return getSimple(dig, param, value);
    case SRV_PARAM_TYPE_SIMPLE: return getSimple(dig, param, value);
    default:
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                         "unsupported parameter type (simple / complex). Can't get parameter value.");
        return -3;
    }
}

int SRVParameter_SetValue(c_Digitizer_t* dig, SRVParameter_t* param, double value) {
    if (dig == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "'dig' cannot be NULL. Can't set parameter value.");
        return -1;
    }
    if (param == nullptr) {
        c_lprintf(&kLog, C_LOG_ERROR, __LINE__, "SRVParameter_t 'param' cannot be NULL. Can't set parameter value.");
        return -2;
    }
    switch (param->type) {
    case SRV_PARAM_TYPE_COMPLEX: return setComplex(dig, param, value);
    case SRV_PARAM_TYPE_SERVER_ONLY:
        c_extendedLogMsg(&kLog, dig, C_LOG_DETAIL, __LINE__, "Set Server Parameter as a simple parameter.");
        return setSimple(dig, param, value);
    case SRV_PARAM_TYPE_SIMPLE: return setSimple(dig, param, value);
    default:
        c_extendedLogMsg(&kLog, dig, C_LOG_ERROR, __LINE__,
                         "unsupported parameter type (simple / complex). Can't set parameter value.");
        return -3;
    }
}

void SRVParameter_Free(SRVParameter_t* param) {
    if (param == nullptr)
        return;
    freeValueList(&param->paramValueList);
    if (param->type == SRV_PARAM_TYPE_SERVER_ONLY)
        c_pdelete(param->utilParam);
    param->utilParam = nullptr;
    c_free(param);
}
