/*
 * ZarnParameters: the parameter build: parameter records from XML,
 * collections, board definition files and the loader.
 *
 * Building (c_pfromnode, c_pcfromdoc, GENERIC_LoadParameters) reads XML; the
 * set and get paths (ZarnParameters_Values) never do: they work on the built
 * records only, allocate nothing and find parameters by one bounds check and
 * one array index.
 */
#include "ZarnParameters.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "ZarnComm.h"
#include "ZarnDigitizer.h"
#include "ZarnRecords.h"

static const c_LogModule_t ZarnParameters_log = {"ZarnParametersLog.txt", "ZarnParameters"};

/* Plain message of this module. */
#define PLOG(level, ...) c_lprintf(&ZarnParameters_log, (level), __LINE__, __VA_ARGS__)

#include "ZarnParametersShared.h"

namespace {

constexpr size_t kTextMax = C_PARAM_TEXT_SIZE - 1; /* characters kept in a text field */
constexpr size_t kQuerySize = 500;

/* Copies at most kTextMax characters of text into a text field; true when the
 * text had to be cut. */
bool copyText(char (&field)[C_PARAM_TEXT_SIZE], const char* text) {
    size_t length = strlen(text);
    bool cut = length > kTextMax;
    if (cut)
        length = kTextMax;
    memcpy(field, text, length);
    field[length] = '\0';
    return cut;
}

/* Appends text to a text field, keeping the whole within kTextMax characters;
 * true when something was cut. */
bool appendText(char (&field)[C_PARAM_TEXT_SIZE], const char* text) {
    size_t used = strnlen(field, kTextMax);
    size_t length = strlen(text);
    bool cut = used + length > kTextMax;
    if (cut)
        length = kTextMax - used;
    memcpy(field + used, text, length);
    field[used + length] = '\0';
    return cut;
}

const char* attributeText(xmlAttrPtr attribute) {
    /* An attribute without text counts as empty text. */
    if (attribute->children != NULL && attribute->children->content != NULL)
        return (const char*)attribute->children->content;
    return "";
}

const char* elementName(xmlNodePtr node) { return (node != NULL && node->name != NULL) ? (const char*)node->name : ""; }

/* A C integer: decimal, 0x hexadecimal or leading-zero octal; trailing
 * characters are ignored. false when no digit was read. */
bool parseCInteger(const char* text, long long* value) {
    if (text == NULL)
        return false;
    char* end = NULL;
    errno = 0;
    long long parsed = strtoll(text, &end, 0);
    if (end == text)
        return false;
    if (errno == ERANGE) {
        /* Unsigned 64-bit texts such as masks written in full. */
        errno = 0;
        unsigned long long wide = strtoull(text, &end, 0);
        parsed = (long long)wide;
    }
    *value = parsed;
    return true;
}

/* A decimal integer (leading blanks and trailing characters allowed). */
bool parseDecimalInteger(const char* text, long long* value) {
    char* end = NULL;
    long long parsed = strtoll(text, &end, 10);
    if (end == text)
        return false;
    *value = parsed;
    return true;
}

/* A floating number in C notation, the whole text (trailing blanks allowed). */
bool parseFloating(const char* text, double* value) {
    char* end = NULL;
    double parsed = strtod(text, &end);
    if (end == text)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')
        ++end;
    if (*end != '\0')
        return false;
    *value = parsed;
    return true;
}

/* The child element childName of the root's section sectionName, e.g.
 * ("ParameterTypes", "TYPE_RANGE"). Sections are children of the root. */
xmlNodePtr findSection(xmlDocPtr document, const char* sectionName) {
    xmlNodePtr root = c_xml_getrootnode(document);
    return root != NULL ? c_xml_getfirstchildrenelementfromname(root, sectionName) : NULL;
}

xmlNodePtr findSectionChild(xmlDocPtr document, const char* sectionName, const char* childName) {
    xmlNodePtr section = findSection(document, sectionName);
    return section != NULL ? c_xml_getfirstchildrenelementfromname(section, childName) : NULL;
}

/* The code of an element of the definitions (its "code"). */
bool elementCode(xmlNodePtr element, double* code) {
    return element != NULL && c_xml_getcodefromnode(element, code) == 0;
}

/* The code of the value named codeName in ParameterValues/<category>. */
bool listValueCode(xmlDocPtr document, const char* category, const char* codeName, double* code) {
    xmlNodePtr values = findSectionChild(document, "ParameterValues", category);
    xmlNodePtr element = values != NULL ? c_xml_getfirstchildrenelementfromname(values, codeName) : NULL;
    return elementCode(element, code);
}

/* A boolean attribute: a code name of ParameterValues/BOOLEANS. */
bool parseBoolean(xmlDocPtr document, const char* text, uint8_t* flag) {
    double code = 0;
    if (!listValueCode(document, "BOOLEANS", text, &code))
        return false;
    *flag = code != 0 ? 1 : 0;
    return true;
}

void* bindFunction(xmlDocPtr document, const char* codeName) {
    if (codeName == NULL || codeName[0] == '\0')
        return NULL;
    return c_xml_getfunctionpointerfromcodename(document, codeName);
}

} // namespace

/* ==========================================================================
 * Parameter record
 * ========================================================================== */

namespace {

/* What the attribute walk of c_pfromnode has found so far. */
struct BuildState {
    c_Parameter_t* param;
    xmlDocPtr definitions;
    uint32_t index;
    bool hasType = false;
    bool hasCode = false;
    bool hasName = false;
    bool hasAddress = false;
    bool hasMask = false;
    c_ValToRegFcn_t valtoreg = NULL;
    c_RegToValFcn_t regtoval = NULL;
};

/* Unit texts of the unit element: a base unit names itself, a derived one
 * takes the symbol of its base. */
void applyUnitTexts(c_Parameter_t* param, xmlDocPtr definitions, xmlNodePtr unit, const char* unitName) {
    const char* base = c_xml_getattributevalue(unit, "base", 0);
    if (base == NULL || base[0] == '\0') {
        const char* symbol = c_xml_getattributevalue(unit, "symbol", 0);
        copyText(param->unitSymbol, symbol != NULL ? symbol : "");
        copyText(param->unitBase, unitName);
        copyText(param->unitName, unitName);
        param->unitPower = 0;
        return;
    }
    long long power = 0;
    if (!parseCInteger(c_xml_getattributevalue(unit, "power", 0), &power))
        return; /* the unit texts stay as they are */
    xmlNodePtr baseUnit = findSectionChild(definitions, "UnitsOfMeasurement", base);
    const char* symbol = baseUnit != NULL ? c_xml_getattributevalue(baseUnit, "symbol", 0) : NULL;
    copyText(param->unitSymbol, symbol != NULL ? symbol : "");
    copyText(param->unitBase, base);
    copyText(param->unitName, unitName);
    param->unitPower = (int32_t)power;
}

/* An address or mask expression evaluated with the instance index. */
bool evaluateExpression(const char* text, uint32_t index, uint32_t* result) {
    int64_t value = 0;
    if (c_ee_modifyAndEvaluateExpression(text, index, &value) != 0)
        return false;
    *result = (uint32_t)value;
    return true;
}

/* One attribute of the definition or board element; false fails the build
 * (after the message the rule calls for). */
bool applyAttribute(BuildState& state, const char* name, const char* text) {
    c_Parameter_t* p = state.param;
    xmlDocPtr defs = state.definitions;

    if (strcmp(name, "type") == 0) {
        double code = 0;
        if (!elementCode(findSectionChild(defs, "ParameterTypes", text), &code))
            return false;
        p->type = (int32_t)code;
        state.hasType = true;
    } else if (strcmp(name, "code") == 0) {
        long long code = 0;
        if (!parseDecimalInteger(text, &code)) {
            PLOG(C_LOG_ERROR, "can't read integer code from node named %s.", p->codename);
            return false;
        }
        p->code = (int32_t)code;
        state.hasCode = true;
    } else if (strcmp(name, "name") == 0) {
        if (appendText(p->name, text))
            PLOG(C_LOG_WARNING, "parameter '%s' name '%s' too long. will be cropped to the first %zu characters.",
                 p->codename, text, kTextMax);
        state.hasName = true;
    } else if (strcmp(name, "regaddr") == 0 || strcmp(name, "regaddrexpr") == 0) {
        if (state.hasAddress) {
            PLOG(C_LOG_ERROR, "parameter '%s' already specifies an address.", p->codename);
            return false;
        }
        if (name[7] == '\0') { /* "regaddr" */
            long long address = 0;
            if (!parseCInteger(text, &address)) {
                PLOG(C_LOG_ERROR, "Parse of regaddr '%s' from parameter '%s' failed.", text, p->codename);
                return false;
            }
            p->regaddr = (uint32_t)address;
        } else {
            uint32_t address = 0;
            if (!evaluateExpression(text, state.index, &address)) {
                PLOG(C_LOG_ERROR, "parameter '%s' specifies an invalid register address expression '%s'.", p->codename,
                     text);
                return false;
            }
            if (address == 0) {
                PLOG(C_LOG_ERROR, "parameter '%s' specifies an invalid regaddr '%s'.", p->codename, text);
                return false;
            }
            p->regaddr = address;
        }
        state.hasAddress = true;
    } else if (strcmp(name, "mask") == 0 || strcmp(name, "maskexpr") == 0) {
        if (state.hasMask) {
            PLOG(C_LOG_ERROR, "parameter '%s' already specifies a mask.", p->codename);
            return false;
        }
        uint32_t mask = 0;
        if (name[4] == '\0') { /* "mask" */
            long long parsed = 0;
            if (!parseCInteger(text, &parsed)) {
                PLOG(C_LOG_ERROR, "Parse of mask '%s' from parameter '%s' failed.", text, p->codename);
                return false;
            }
            mask = (uint32_t)parsed;
        } else if (!evaluateExpression(text, state.index, &mask)) {
            PLOG(C_LOG_ERROR, "parameter '%s' specifies an invalid register address expression '%s'.", p->codename,
                 text);
            return false;
        }
        if (mask == 0)
            PLOG(C_LOG_WARNING, "parameter '%s' specifies a mask = 0x0.", p->codename);
        p->mask = mask;
        state.hasMask = true;
    } else if (strcmp(name, "acqon") == 0) {
        return parseBoolean(defs, text, &p->acqon);
    } else if (strcmp(name, "hvconfig") == 0) {
        return parseBoolean(defs, text, &p->hvconfig);
    } else if (strcmp(name, "hvon") == 0) {
        return parseBoolean(defs, text, &p->hvon);
    } else if (strcmp(name, "doubleres") == 0) {
        return parseBoolean(defs, text, &p->doubleres);
    } else if (strcmp(name, "gen1hidden") == 0) {
        uint8_t flag = 0;
        if (!parseBoolean(defs, text, &flag))
            return false;
        p->gen1hidden = flag;
    } else if (strcmp(name, "valtoreg") == 0) {
        state.valtoreg = (c_ValToRegFcn_t)bindFunction(defs, text);
        return state.valtoreg != NULL;
    } else if (strcmp(name, "regtoval") == 0) {
        state.regtoval = (c_RegToValFcn_t)bindFunction(defs, text);
        return state.regtoval != NULL;
    } else if (strcmp(name, "postset") == 0) {
        p->postset = (c_PostsetFcn_t)bindFunction(defs, text);
        return p->postset != NULL;
    } else if (strcmp(name, "preset") == 0) {
        p->preset = (c_PresetFcn_t)bindFunction(defs, text);
        return p->preset != NULL;
    } else if (strcmp(name, "setfcn") == 0) {
        p->setfcn = (c_SetFcn_t)bindFunction(defs, text);
        return p->setfcn != NULL;
    } else if (strcmp(name, "swcheck") == 0) {
        p->swcheck = (c_SwCheckFcn_t)bindFunction(defs, text);
        if (p->swcheck == NULL) {
            PLOG(C_LOG_ERROR, "Parameter '%s' requires a missing function '%s' to check whether it is software-only.",
                 p->codename, text[0] != '\0' ? text : "NULL");
            return false;
        }
    } else if (strcmp(name, "uom") == 0) {
        xmlNodePtr unit = findSectionChild(defs, "UnitsOfMeasurement", text);
        uint8_t code = c_getUomCode(text);
        if (unit == NULL || code == 0xFF)
            return false;
        p->uom = code;
        applyUnitTexts(p, defs, unit, text);
    } else if (strcmp(name, "accesstype") == 0) {
        uint8_t code = c_getAccessTypeCode(text);
        if (code == 0xFF)
            return false;
        p->accesstype = code;
    }
    /* Any other attribute ("codename", "idxmask", the board's range and list
     * attributes) is not part of this walk. */
    return true;
}

bool applyAttributes(BuildState& state, xmlNodePtr node) {
    for (xmlAttrPtr attribute = node->properties; attribute != NULL; attribute = attribute->next) {
        if (!applyAttribute(state, (const char*)attribute->name, attributeText(attribute)))
            return false;
    }
    return true;
}

/* Range part of a type-0 parameter, from the board element. */
bool buildRange(c_Parameter_t* p, xmlNodePtr boardNode, xmlDocPtr defs) {
    bool hasMin = false, hasMax = false, hasIncr = false, hasDefault = false;
    c_RangeDefFcn_t rangeFunction = NULL;
    const char* rangeFunctionName = NULL;

    for (xmlAttrPtr attribute = boardNode->properties; attribute != NULL; attribute = attribute->next) {
        const char* name = (const char*)attribute->name;
        const char* text = attributeText(attribute);
        double* target = NULL;
        bool* seen = NULL;
        if (strcmp(name, "min") == 0) {
            target = &p->min;
            seen = &hasMin;
        } else if (strcmp(name, "max") == 0) {
            target = &p->max;
            seen = &hasMax;
        } else if (strcmp(name, "incr") == 0) {
            target = &p->incr;
            seen = &hasIncr;
        } else if (strcmp(name, "defval") == 0) {
            target = &p->value;
            seen = &hasDefault;
        } else if (strcmp(name, "rangedef") == 0) {
            rangeFunctionName = text;
            rangeFunction = (c_RangeDefFcn_t)bindFunction(defs, text);
            if (rangeFunction == NULL) {
                PLOG(C_LOG_ERROR, "Parameter '%s' requires a missing function '%s' to define its ranges.", p->codename,
                     text[0] != '\0' ? text : "NULL");
                return false;
            }
            continue;
        } else {
            continue;
        }
        if (!parseFloating(text, target)) {
            PLOG(C_LOG_ERROR, "Can't parse numeric value from string '%s'.", text);
            return false;
        }
        *seen = true;
        if (target == &p->value)
            p->preferred = p->value;
    }

    if (rangeFunction != NULL) {
        int result = rangeFunction(p);
        if (result != 0) {
            PLOG(C_LOG_ERROR, "Parameter '%s' failed to create its values list from function '%s' [ERR %i]",
                 p->codename, rangeFunctionName, result);
            return false;
        }
    } else {
        const char* missing = !hasMin                                            ? "min"
                              : !hasMax                                          ? "max"
                              : !hasIncr                                         ? "incr"
                              : (!hasDefault && p->accesstype != readOnlyCode()) ? "defval"
                                                                                 : NULL;
        if (missing != NULL) {
            PLOG(C_LOG_ERROR, "Parameter '%s' misses mandatory attribute '%s'.", p->name, missing);
            return false;
        }
    }

    if (!(p->min < p->max))
        PLOG(C_LOG_WARNING, "Invalid range: [%f, %f]", p->min, p->max);
    if (p->value > p->max)
        PLOG(C_LOG_WARNING, "Invalid default value: %f > max (%f)", p->value, p->max);
    if (p->value < p->min)
        PLOG(C_LOG_WARNING, "Invalid default value: %f < min (%f)", p->value, p->min);
    if (isnan(p->value))
        PLOG(C_LOG_WARNING, "Invalid default value: %f", p->value);
    if (!isfinite(p->incr))
        PLOG(C_LOG_WARNING, "Invalid incr value: %f", p->incr);
    return true;
}

/* One ParamValue child of a list parameter; false fails the build. */
bool appendListValue(c_Parameter_t* p, xmlNodePtr child, xmlNodePtr section, const char* defaultText,
                     bool* defaultFound) {
    const char* codeName = c_xml_getattributevalue(child, "codename", 0);
    if (codeName == NULL) {
        PLOG(C_LOG_ERROR, "Parameter '%s' misses attribute 'codename'.", p->codename);
        return false;
    }
    xmlNodePtr valueElement = c_xml_getfirstchildrenelementfromname(section, codeName);
    const char* displayName = valueElement != NULL ? c_xml_getattributevalue(valueElement, "name", 0) : NULL;
    if (displayName == NULL) {
        PLOG(C_LOG_DETAIL, "List value '%s' misses attribute 'name'. Using 'codename'.", codeName);
        displayName = codeName;
    }
    double value = 0;
    if (!elementCode(valueElement, &value))
        return false;

    uint32_t regvalue = 0;
    const char* regText = c_xml_getattributevalue(child, "regvalue", 0);
    if (regText != NULL) {
        long long parsed = 0;
        if (!parseCInteger(regText, &parsed)) {
            PLOG(C_LOG_ERROR, "Parse of regvalue '%s' for parameter value '%s' failed.", regText, codeName);
            return false;
        }
        regvalue = (uint32_t)parsed;
    } else {
        /* The value stands for its register value; a negative one wraps as a
         * 32-bit two's complement word. */
        if (!isfinite(value) || fabs(value) >= 9.2e18) {
            PLOG(C_LOG_ERROR, "Parameter '%s': list element '%s' has no usable value to stand for its regvalue.",
                 p->codename, codeName);
            return false;
        }
        regvalue = (uint32_t)(int64_t)value;
        PLOG(C_LOG_DETAIL,
             "Parameter '%s': list element '%s' misses attribute 'regvalue'. Will use its value cast to uint32_t (%u)",
             p->codename, codeName, regvalue);
    }

    if (p->count >= C_PARAM_MAX_VALUES) {
        PLOG(C_LOG_ERROR, "More than %d list values provided for parameter '%s'. Please check the XML.",
             C_PARAM_MAX_VALUES, p->codename);
        return false;
    }
    c_ParamValue_t* entry = &p->values[p->count++];
    entry->value = value;
    entry->regvalue = regvalue;
    if (copyText(entry->codename, codeName))
        PLOG(C_LOG_WARNING,
             "value codename '%s' too long. will be cropped to the first %zu characters (possible errors).", codeName,
             kTextMax);
    if (copyText(entry->name, displayName))
        PLOG(C_LOG_WARNING, "value '%s' name '%s' too long. will be cropped to the first %zu characters.", codeName,
             displayName, kTextMax);

    if (defaultText != NULL && !*defaultFound && strcmp(codeName, defaultText) == 0) {
        p->value = value;
        p->preferred = value;
        *defaultFound = true;
    }
    return true;
}

/* List part of a type-1 parameter, from the board element. */
bool buildList(c_Parameter_t* p, xmlNodePtr boardNode, xmlDocPtr defs) {
    const char* defaultText = c_xml_getattributevalue(boardNode, "defval", 0);
    const char* category = c_xml_getattributevalue(boardNode, "category", 0);
    if (category == NULL) {
        PLOG(C_LOG_ERROR, "Parameter '%s' misses mandatory attribute 'category'.", p->name);
        return false;
    }
    xmlNodePtr section = findSectionChild(defs, "ParameterValues", category);
    const char* codeText = section != NULL ? c_xml_getattributevalue(section, "code", 0) : NULL;
    if (codeText == NULL)
        return false;
    long long categoryCode = 0;
    if (parseCInteger(codeText, &categoryCode)) {
        p->listCategory = (int32_t)categoryCode;
    } else {
        p->listCategory = -1;
        PLOG(C_LOG_ERROR, "Can't parse code for param category '%s' from string '%s'.", category, codeText);
    }

    bool defaultFound = false;
    bool functionRan = false;
    for (xmlNodePtr child = boardNode->children; child != NULL; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        if (strcmp(elementName(child), "ValuesDefinitionFunction") == 0) {
            const char* functionName = c_xml_getattributevalue(child, "codename", 0);
            c_ValuesDefFcn_t function = (c_ValuesDefFcn_t)bindFunction(defs, functionName);
            if (function == NULL) {
                PLOG(C_LOG_ERROR, "Parameter '%s' requires a missing function '%s' to define its values list.",
                     p->codename, (functionName != NULL && functionName[0] != '\0') ? functionName : "NULL");
                return false;
            }
            int result = function(p);
            if (result != 0) {
                PLOG(C_LOG_ERROR, "Parameter '%s' failed to create its values list from function '%s' [ERR %i]",
                     p->codename, functionName, result);
                return false;
            }
            if (p->count > C_PARAM_MAX_VALUES) { /* a function that overran the list */
                PLOG(C_LOG_ERROR, "More than %d list values provided for parameter '%s'. Please check the XML.",
                     C_PARAM_MAX_VALUES, p->codename);
                return false;
            }
            functionRan = true;
        } else if (strcmp(elementName(child), "ParamValue") == 0) {
            if (!appendListValue(p, child, section, defaultText, &defaultFound))
                return false;
        }
    }

    /* A values function defines the list and its default itself. */
    if (defaultFound || functionRan)
        return true;
    if (defaultText != NULL && strcmp(defaultText, "LEAVE_AS_IS") == 0) {
        p->leaveAsIs = 1; /* the board keeps its own setting */
        return true;
    }
    if (defaultText != NULL) {
        PLOG(C_LOG_ERROR, "Parameter '%s' doesn't specify a valid default value ('%s').", p->name, defaultText);
        return false;
    }
    if (p->accesstype == readOnlyCode())
        return true;
    PLOG(C_LOG_ERROR, "Parameter '%s' misses mandatory attribute 'defval'.", p->name);
    return false;
}

c_Parameter_t* buildFailed(c_Parameter_t* param) {
    c_pdelete(param);
    return NULL;
}

} // namespace

extern "C" {

c_Parameter_t* c_pnew(void* owner) {
    c_Parameter_t* param = (c_Parameter_t*)c_calloc(1, sizeof(c_Parameter_t));
    if (param == NULL) {
        PLOG(C_LOG_ERROR, "Parameter allocation error.");
        return NULL;
    }
    param->mask = C_PARAM_FULL_MASK;
    param->hvon = 1;
    param->gen1hidden = -1;
    param->accesstype = c_getAccessTypeCode("READWRITE");
    param->uom = c_getUomCode("UOM_ADIM");
    param->code = -1;
    param->listCategory = -1;
    param->owner = owner;
    return param;
}

void c_pdelete(c_Parameter_t* param) { c_free(param); }

c_Parameter_t* c_pfromnode(void* owner, xmlNodePtr boardNode, xmlNodePtr defNode, uint32_t index) {
    if (boardNode == NULL || defNode == NULL) {
        PLOG(C_LOG_ERROR, "'%s' cannot be NULL to build a parameter.", boardNode == NULL ? "boardNode" : "defNode");
        return NULL;
    }
    const char* codeName = c_xml_getattributevalue(boardNode, "codename", 0);
    if (codeName == NULL) {
        PLOG(C_LOG_ERROR, "node %s misses codename specification.", elementName(boardNode));
        return NULL;
    }
    c_Parameter_t* p = c_pnew(owner);
    if (p == NULL)
        return NULL;
    if (copyText(p->codename, codeName))
        PLOG(C_LOG_WARNING,
             "parameter codename '%s' too long. will be cropped to the first %zu characters (possible errors).",
             codeName, kTextMax);
    p->index = (uint8_t)(index & 0xFF);

    BuildState state;
    state.param = p;
    state.definitions = c_getLibraryDefinitions();
    state.index = index;
    if (!applyAttributes(state, defNode) || !applyAttributes(state, boardNode))
        return buildFailed(p);

    const char* missing = !state.hasType      ? "type"
                          : !state.hasCode    ? "code"
                          : !state.hasName    ? "name"
                          : !state.hasAddress ? "regaddr"
                                              : NULL;
    if (missing != NULL) {
        PLOG(C_LOG_ERROR, "Parameter '%s' misses mandatory attribute '%s'.", p->codename, missing);
        return buildFailed(p);
    }

    p->valtoreg = state.valtoreg;
    p->regtoval = state.regtoval;
    if (p->type == C_PARAM_TYPE_LIST) {
        if (p->valtoreg == NULL)
            p->valtoreg = GENERIC_ListValToReg;
        if (p->regtoval == NULL)
            p->regtoval = GENERIC_ListRegToVal;
    }

    if (p->type == C_PARAM_TYPE_RANGE) {
        if (!buildRange(p, boardNode, state.definitions))
            return buildFailed(p);
    } else if (p->type == C_PARAM_TYPE_LIST) {
        if (!buildList(p, boardNode, state.definitions))
            return buildFailed(p);
    } else {
        /* The board element's type, when it has one, is the one applied. */
        const char* typeText = c_xml_getattributevalue(boardNode, "type", 0);
        if (typeText == NULL)
            typeText = c_xml_getattributevalue(defNode, "type", 0);
        PLOG(C_LOG_ERROR, "parameter '%s' specifies an invalid parameter type '%s'.", p->codename,
             typeText != NULL ? typeText : "");
        return buildFailed(p);
    }

    if (p->acqon == 1 && p->accesstype == readOnlyCode())
        PLOG(C_LOG_WARNING, "parameter %s specifies acqon='TRUE' in a read only parameter.", p->codename);
    return p;
}

c_Parameter_t* c_pfromDefnode(void* owner, xmlNodePtr defNode, uint32_t index) {
    if (defNode == NULL) {
        PLOG(C_LOG_ERROR, "'defNode' cannot be NULL to build a parameter.");
        return NULL;
    }
    c_Parameter_t* p = c_pnew(owner);
    if (p == NULL)
        return NULL;
    if (copyText(p->codename, elementName(defNode)))
        PLOG(C_LOG_WARNING,
             "parameter name '%s' too long. will be cropped to the first %zu characters (possible errors).",
             elementName(defNode), kTextMax);
    p->index = (uint8_t)(index & 0xFF);

    BuildState state;
    state.param = p;
    state.definitions = c_getLibraryDefinitions();
    state.index = index;
    for (xmlAttrPtr attribute = defNode->properties; attribute != NULL; attribute = attribute->next) {
        const char* name = (const char*)attribute->name;
        if (strcmp(name, "code") != 0 && strcmp(name, "name") != 0)
            continue;
        if (!applyAttribute(state, name, attributeText(attribute)))
            return buildFailed(p);
    }
    return p;
}

xmlNodePtr c_findDefinitionsNodeFromBoardNodeExtended(xmlNodePtr boardNode, xmlDocPtr document, const char* prefix) {
    if (boardNode == NULL || document == NULL || prefix == NULL) {
        PLOG(C_LOG_ERROR, "'%s' cannot be NULL to find a parameter definition.",
             boardNode == NULL ? "boardNode" : (document == NULL ? "document" : "prefix"));
        return NULL;
    }
    const char* codeName = c_xml_getattributevalue(boardNode, "codename", 0);
    if (codeName == NULL) {
        PLOG(C_LOG_ERROR, "node %s misses codename specification.", elementName(boardNode));
        return NULL;
    }
    const char* category = elementName(boardNode->parent);
    size_t size = strlen(prefix) + strlen(category) + strlen(codeName) + 3;
    char* path = (char*)c_malloc(size);
    if (path == NULL) {
        PLOG(C_LOG_ERROR, "can't alloc string of %zu characters. Out of memory.", size);
        return NULL;
    }
    snprintf(path, size, "%s/%s/%s", prefix, category, codeName);
    xmlNodePtr root = c_xml_getrootnode(document);
    xmlNodePtr found = root != NULL ? c_xml_getfirstdescendantelementfromname(root, path) : NULL;
    if (found == NULL)
        PLOG(C_LOG_ERROR, "can't find descendent '%s' from definition file.", path);
    c_free(path);
    return found;
}

xmlNodePtr c_findDefinitionsNodeFromBoardNode(xmlNodePtr boardNode) {
    return c_findDefinitionsNodeFromBoardNodeExtended(boardNode, c_getLibraryDefinitions(), "Parameters");
}

bool c_pcheckidxmask(xmlNodePtr boardNode, uint32_t index) {
    const char* expression = boardNode != NULL ? c_xml_getattributevalue(boardNode, "idxmask", 0) : NULL;
    if (expression == NULL)
        return true;
    int64_t value = 0;
    if (c_ee_modifyAndEvaluateExpression(expression, index, &value) != 0) {
        const char* name = c_xml_getattributevalue(boardNode, "name", 0);
        PLOG(C_LOG_WARNING,
             "Invalid or malformed expression '%s' for parameter '%s'. Assume parameter supported for index %i, but "
             "this may lead to problems.",
             expression, name != NULL ? name : "UNKNOWN", (int)index);
        return true;
    }
    return (((uint32_t)value >> (index % 32)) & 1u) != 0;
}

} // extern "C"

/* ==========================================================================
 * Collections, categories and board definition files
 * ========================================================================== */

namespace {

const char* const kCategoryNames[PARAM_CATEGORY_COUNT] = {
    "BoardParameters",   "ChannelParameters", "LVDSGroupParameters", "VirtualTraceParameters", "HVChannelParameters",
    "HVRangeParameters", "MonOutParameters",  "GroupParameters",     "VGAParameters"};

int32_t slotCount(const c_ParamCollection_t* collection) { return collection->lastCode - collection->firstCode + 1; }

/* The "code" of the category's element picked by the XPath predicate. */
bool categoryBoundCode(const char* category, const char* predicate, int32_t* code) {
    char query[kQuerySize];
    snprintf(query, sizeof query,
             "/Definitions/Parameters/%s/*[not(@code %s preceding-sibling::*/@code) and not(@code %s "
             "following-sibling::*/@code)]",
             category, predicate, predicate);
    xmlNodePtr node = c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(), query);
    long long value = 0;
    if (node == NULL || !parseCInteger(c_xml_getattributevalue(node, "code", 0), &value))
        return false;
    *code = (int32_t)value;
    return true;
}

/* Code range of a category in the library definitions; false after the
 * message. */
bool categoryCodeRange(const char* category, int32_t* firstCode, int32_t* lastCode) {
    if (!categoryBoundCode(category, "<", lastCode)) {
        PLOG(C_LOG_ERROR, "Can't get %s with maximum code.", category);
        return false;
    }
    if (!categoryBoundCode(category, ">", firstCode)) {
        PLOG(C_LOG_ERROR, "Can't get %s with minimum code.", category);
        return false;
    }
    return true;
}

/* The collection of one category instance for a known code range. */
c_ParamCollection_t* collectionFromDocument(void* owner, xmlDocPtr boardDocument, const char* category, uint32_t index,
                                            int32_t firstCode, int32_t lastCode) {
    if ((int64_t)lastCode - (int64_t)firstCode + 1 <= 0 || (int64_t)lastCode - (int64_t)firstCode + 1 > INT32_MAX) {
        PLOG(C_LOG_ERROR, "Invalid code range [%i:%i] of %s.", firstCode, lastCode, category);
        return NULL;
    }
    c_ParamCollection_t* collection = _pcnew(lastCode - firstCode + 1, firstCode);
    if (collection == NULL)
        return NULL;

    char query[kQuerySize];
    snprintf(query, sizeof query, "/BoardDef/%s/Parameter", category);
    c_xml_nodeset_t* nodes = c_xml_getnodeset(boardDocument, query);
    if (nodes == NULL || nodes->count <= 0) {
        PLOG(C_LOG_ERROR, "Can't get %s nodes.", category);
        c_xml_freenodeset(nodes);
        _pcfree(collection);
        return NULL;
    }

    xmlDocPtr definitions = c_getLibraryDefinitions();
    bool failed = false;
    for (int i = 0; i < nodes->count && !failed; ++i) {
        xmlNodePtr element = nodes->nodes[i];
        if (index != C_PARAM_NO_INDEX && !c_pcheckidxmask(element, index))
            continue;
        xmlNodePtr definition = c_findDefinitionsNodeFromBoardNodeExtended(element, definitions, "Parameters");
        if (definition == NULL) {
            failed = true;
            break;
        }
        c_Parameter_t* param = c_pfromnode(owner, element, definition, index);
        if (param == NULL) {
            const char* codeName = c_xml_getattributevalue(element, "codename", 0);
            PLOG(C_LOG_ERROR, "Error at node %s", codeName != NULL ? codeName : elementName(element));
            failed = true;
            break;
        }
        if (_pcinsert(collection, param, param->code) != 0)
            c_pdelete(param); /* refused (duplicate or outside the range): the walk goes on */
    }
    c_xml_freenodeset(nodes);
    if (failed) {
        _pcfreeall(collection);
        return NULL;
    }
    return collection;
}

/* The categories in the order the loader builds them, with what its failure
 * message calls each and the status the failure returns. The ranges of a
 * high-voltage channel are built right after the channel itself. */
struct CategoryBuild {
    int32_t category;
    const char* text;
    int failure;
};

const CategoryBuild kBuildOrder[] = {
    {PARAM_CATEGORY_BOARD, "board", -2},
    {PARAM_CATEGORY_GROUP, "groups", -3},
    {PARAM_CATEGORY_CHANNEL, "channels", -4},
    {PARAM_CATEGORY_LVDSGROUP, "LVDS Group", -5},
    {PARAM_CATEGORY_VIRTUALTRACE, "Virtual Traces", -6},
    {PARAM_CATEGORY_HVCHANNEL, "HV channels", -7},
    {PARAM_CATEGORY_MONOUT, "Output Monitors", -9},
    {PARAM_CATEGORY_VGA, "VGA", -10},
};
const CategoryBuild kHVRangeBuild = {PARAM_CATEGORY_HVRANGE, "HV range", -8};

/* Where the collection of one category instance lives in the record: the
 * owner its parameters point to, the slot, and the index its parameters
 * take (a range's parameters take their channel's index). */
struct CollectionPlace {
    void* owner;
    c_ParamCollection_t** slot;
    uint32_t index;
};

CollectionPlace collectionPlace(c_Digitizer_t* d, int32_t category, uint32_t instance, uint32_t range) {
    switch (category) {
    case PARAM_CATEGORY_BOARD: return {d, &d->boardColl, C_PARAM_NO_INDEX};
    case PARAM_CATEGORY_GROUP: return {&d->groupColl[instance], &d->groupColl[instance], instance};
    case PARAM_CATEGORY_CHANNEL: return {&d->channels[instance], &d->channels[instance].coll, instance};
    case PARAM_CATEGORY_LVDSGROUP: return {&d->lvdsColl[instance], &d->lvdsColl[instance], instance};
    case PARAM_CATEGORY_VIRTUALTRACE: return {&d->vtrace[instance], &d->vtrace[instance].coll, instance};
    case PARAM_CATEGORY_HVCHANNEL: return {&d->hv[instance], &d->hv[instance].coll, instance};
    case PARAM_CATEGORY_HVRANGE: return {&d->hv[instance].ranges[range], &d->hv[instance].ranges[range].coll, instance};
    case PARAM_CATEGORY_MONOUT: return {&d->monOutColl, &d->monOutColl, 0};
    case PARAM_CATEGORY_VGA: return {&d->vgaColl[instance], &d->vgaColl[instance], instance};
    }
    return {NULL, NULL, 0};
}

/* How many instances of a category the record holds, kept within its slots. */
uint32_t instanceCount(const c_Digitizer_t* d, int32_t category) {
    const c_BoardDescriptor_t* board = &d->descriptor;
    switch (category) {
    case PARAM_CATEGORY_BOARD: return 1;
    case PARAM_CATEGORY_GROUP: return board->NumGroups < DPPL_MAX_GROUPS ? board->NumGroups : DPPL_MAX_GROUPS;
    case PARAM_CATEGORY_CHANNEL: return board->NumChannels < DPPL_MAX_CHANNELS ? board->NumChannels : DPPL_MAX_CHANNELS;
    case PARAM_CATEGORY_LVDSGROUP:
        return board->LVDSGroups < DPPL_MAX_LVDS_GROUPS ? board->LVDSGroups : DPPL_MAX_LVDS_GROUPS;
    case PARAM_CATEGORY_VIRTUALTRACE: {
        uint64_t traceSum = (uint64_t)board->AnalogVTraces + board->DigitalVTraces;
        return traceSum < DPPL_MAX_VTRACES ? (uint32_t)traceSum : DPPL_MAX_VTRACES;
    }
    case PARAM_CATEGORY_HVCHANNEL:
        return board->HVChannels < DPPL_MAX_HV_CHANNELS ? board->HVChannels : DPPL_MAX_HV_CHANNELS;
    case PARAM_CATEGORY_MONOUT: return board->MonOuts > 0 ? 1 : 0; /* one collection serves every output */
    case PARAM_CATEGORY_VGA: return board->VGAs < DPPL_MAX_VGAS ? board->VGAs : DPPL_MAX_VGAS;
    }
    return 0;
}

} // namespace

extern "C" {

c_ParamCollection_t* _pcnew(int32_t size, int32_t firstCode) {
    c_ParamCollection_t* collection = (c_ParamCollection_t*)c_malloc(sizeof(c_ParamCollection_t));
    if (collection == NULL) {
        PLOG(C_LOG_ERROR, "Can't allocate memory for a parameter collection.");
        return NULL;
    }
    int64_t lastCode = (int64_t)firstCode + size - 1;
    if (size < 0 || lastCode > INT32_MAX || lastCode < INT32_MIN) {
        PLOG(C_LOG_ERROR, "Can't allocate memory for a parameter collection of size %i.", size);
        c_free(collection);
        return NULL;
    }
    /* A collection of no slot is empty and stays full: every insert is refused. */
    collection->items = (c_Parameter_t**)c_calloc((size_t)size, sizeof(c_Parameter_t*));
    if (collection->items == NULL) {
        PLOG(C_LOG_ERROR, "Can't allocate memory for a parameter collection of size %i.", size);
        c_free(collection);
        return NULL;
    }
    collection->count = 0;
    collection->firstCode = firstCode;
    collection->lastCode = (int32_t)lastCode;
    return collection;
}

int _pcinsert(c_ParamCollection_t* collection, c_Parameter_t* param, int32_t code) {
    if (collection == NULL) {
        PLOG(C_LOG_ERROR, "'collection' cannot be NULL to insert a parameter in it.");
        return -2;
    }
    if (collection->count >= slotCount(collection)) {
        PLOG(C_LOG_ERROR, "'collection' is already full.");
        return -3;
    }
    if (param == NULL) {
        PLOG(C_LOG_ERROR, "'param' cannot be NULL to insert it in a collection.");
        return -4;
    }
    if (!holdsCode(collection, code)) {
        PLOG(C_LOG_ERROR,
             "Parameter code (%i) doesn't fit with collection code range [%i:%i]. Cannot insert it in the collection.",
             code, collection->firstCode, collection->lastCode);
        return -5;
    }
    c_Parameter_t** slot = &collection->items[code - collection->firstCode];
    if (*slot != NULL) {
        PLOG(C_LOG_ERROR, "A parameter with code %i has already been specified in the given collection.", code);
        return -6;
    }
    *slot = param;
    ++collection->count;
    return 0;
}

c_Parameter_t* _pretrieve(const c_ParamCollection_t* collection, int32_t code) {
    if (collection == NULL) {
        PLOG(C_LOG_DETAIL, "'collection' cannot be NULL. Can't retrieve parameter.");
        return NULL;
    }
    if (!holdsCode(collection, code)) {
        PLOG(C_LOG_DETAIL,
             "Parameter code (%i) doesn't fit with collection code range [%i:%i]. Cannot retrieve it from collection.",
             code, collection->firstCode, collection->lastCode);
        return NULL;
    }
    return collection->items[code - collection->firstCode];
}

void _pcfree(c_ParamCollection_t* collection) {
    if (collection == NULL)
        return;
    c_free(collection->items);
    c_free(collection);
}

void _pcfreeall(c_ParamCollection_t* collection) {
    if (collection == NULL)
        return;
    int32_t slots = slotCount(collection);
    for (int32_t i = 0; i < slots; ++i)
        c_pdelete(collection->items[i]);
    _pcfree(collection);
}

int32_t getParamCategoryFromName(const char* elementName) {
    if (elementName != NULL) {
        for (int32_t category = 0; category < PARAM_CATEGORY_COUNT; ++category) {
            if (strcmp(kCategoryNames[category], elementName) == 0)
                return category;
        }
    }
    PLOG(C_LOG_ERROR, "Unsupported parameter category '%s'.", elementName != NULL ? elementName : "(null)");
    return PARAM_CATEGORY_UNSUPPORTED;
}

const char* getParamCategoryName(int32_t category) {
    return (category >= 0 && category < PARAM_CATEGORY_COUNT) ? kCategoryNames[category] : NULL;
}

c_ParamCollection_t* c_pcfromdoc(void* owner, xmlDocPtr boardDocument, const char* categoryElementName,
                                 uint32_t index) {
    if (categoryElementName == NULL) {
        PLOG(C_LOG_ERROR, "'paramCategory' cannot be NULL.");
        return NULL;
    }
    int32_t firstCode = 0, lastCode = 0;
    if (!categoryCodeRange(categoryElementName, &firstCode, &lastCode))
        return NULL;
    return collectionFromDocument(owner, boardDocument, categoryElementName, index, firstCode, lastCode);
}

} // extern "C"

/* ==========================================================================
 * Board definition files and the loader
 * ========================================================================== */

namespace {

/* Major and minor number of a channel firmware release text "<major>.<minor> ...":
 * the major number is everything before the first '.', the minor one runs
 * from there to the next blank (or the end of the text); each at most 99
 * characters, read as decimal. A text without '.' is all major number, with
 * minor 0. */
void parseFirmwareRelease(const char* text, size_t width, long* major, long* minor) {
    size_t length = strnlen(text, width);
    char majorText[100] = "";
    char minorText[100] = "";
    size_t i = 0, n = 0;
    while (i < length && text[i] != '.') {
        if (n < sizeof majorText - 1)
            majorText[n++] = text[i];
        ++i;
    }
    majorText[n] = '\0';
    n = 0;
    if (i < length && text[i] == '.') {
        ++i;
        while (i < length && text[i] != ' ') {
            if (n < sizeof minorText - 1)
                minorText[n++] = text[i];
            ++i;
        }
    }
    minorText[n] = '\0';
    *major = strtol(majorText, NULL, 10);
    *minor = strtol(minorText, NULL, 10);
}

bool fileExists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

/* Outcome of trying one file name. */
enum class Probe { Absent, Found, Invalid };

Probe tryBoardFile(c_Digitizer_t* digitizer, const char* path, xmlDocPtr* document) {
    if (!fileExists(path))
        return Probe::Absent;
    *document = c_xml_newfile(path);
    if (*document == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Invalid parameters document '%s'.", path);
        return Probe::Invalid;
    }
    BLOG(digitizer, C_LOG_INFO, "Parameters document is '%s'.", path);
    return Probe::Found;
}

} // namespace

extern "C" {

xmlDocPtr c_findBoardDefinitionFile(c_Digitizer_t* digitizer) {
    if (digitizer == NULL) {
        PLOG(C_LOG_ERROR, "'digitizer' cannot be NULL to find its board definition file.");
        return NULL;
    }
    const c_BoardDescriptor_t* board = &digitizer->descriptor;
    char query[kQuerySize];
    snprintf(query, sizeof query, "/Definitions/Families/*[@code='%u']", (unsigned)board->FamilyCode);
    xmlNodePtr family = c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(), query);
    if (family == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Can't find a definition for family '%u' in definitions file.",
             (unsigned)board->FamilyCode);
        return NULL;
    }
    const char* familyName = elementName(family);
    const char* base = c_getBasePath();
    if (base == NULL)
        base = "";

    /* Room for the base path, the family name and the formatted rest. */
    size_t size = strlen(base) + strlen(familyName) + 100;
    char* path = (char*)c_malloc(size);
    if (path == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Can't allocate memory for complete board definitions path.");
        return NULL;
    }

    long major = 0, minor = 0;
    parseFirmwareRelease(board->ChannelFirmwareRel, sizeof board->ChannelFirmwareRel, &major, &minor);
    unsigned dppCode = (unsigned)(major & 0xFF);
    int startRevision = (int)(minor & 0xFF);
    unsigned formFactorBit = board->FormFactor < 8 ? ((1u << board->FormFactor) & 0xFFu) : 0u;

    xmlDocPtr document = NULL;
    Probe outcome = Probe::Absent;
    for (unsigned mask = 1; mask <= 15 && outcome == Probe::Absent; ++mask) {
        if ((mask & formFactorBit) == 0)
            continue;
        for (int r = startRevision; r >= 0 && outcome == Probe::Absent; --r) {
            snprintf(path, size, "%s/%s_%X_DPPCode%u-%i.xml", base, familyName, mask, dppCode, r);
            outcome = tryBoardFile(digitizer, path, &document);
        }
        if (outcome != Probe::Absent)
            break;
        snprintf(path, size, "%s/%s_%X_DPPCode%u.xml", base, familyName, mask, dppCode);
        outcome = tryBoardFile(digitizer, path, &document);
        if (outcome != Probe::Absent || mask != 15)
            continue;
        for (int r = startRevision; r >= 0 && outcome == Probe::Absent; --r) {
            snprintf(path, size, "%s/%s_DPPCode%u-%i.xml", base, familyName, dppCode, r);
            outcome = tryBoardFile(digitizer, path, &document);
        }
        if (outcome == Probe::Absent) {
            snprintf(path, size, "%s/%s_DPPCode%u.xml", base, familyName, dppCode);
            outcome = tryBoardFile(digitizer, path, &document);
        }
    }
    c_free(path);
    return outcome == Probe::Found ? document : NULL;
}

int GENERIC_LoadParameters(c_Digitizer_t* digitizer) {
    if (digitizer == NULL) {
        PLOG(C_LOG_ERROR, "'digitizer' cannot be NULL to load its parameters.");
        return -1;
    }
    xmlDocPtr document = c_findBoardDefinitionFile(digitizer);
    if (document == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Invalid parameters document.");
        return -1;
    }

    /* The code range of each category is read once; all its instances share it. */
    int32_t firstCode[PARAM_CATEGORY_COUNT] = {};
    int32_t lastCode[PARAM_CATEGORY_COUNT] = {};
    bool rangeRead[PARAM_CATEGORY_COUNT] = {};
    bool rangeOk[PARAM_CATEGORY_COUNT] = {};
    /* Builds one instance's collection into its place: 0, or the category's failure status. */
    auto build = [&](const CategoryBuild& step, uint32_t instance, uint32_t range) -> int {
        const int32_t category = step.category;
        const char* name = kCategoryNames[category];
        if (!rangeRead[category]) {
            rangeRead[category] = true;
            rangeOk[category] = categoryCodeRange(name, &firstCode[category], &lastCode[category]);
        }
        CollectionPlace place = collectionPlace(digitizer, category, instance, range);
        *place.slot = rangeOk[category] ? collectionFromDocument(place.owner, document, name, place.index,
                                                                 firstCode[category], lastCode[category])
                                        : NULL;
        if (*place.slot != NULL)
            return 0;
        BLOG(digitizer, C_LOG_ERROR, "Can't create %s parameters from file.", step.text);
        return step.failure;
    };

    /* Instance counts, all taken before anything is built. */
    uint32_t instances[PARAM_CATEGORY_COUNT] = {};
    for (const CategoryBuild& step : kBuildOrder)
        instances[step.category] = instanceCount(digitizer, step.category);

    int result = 0;
    for (const CategoryBuild& step : kBuildOrder) {
        for (uint32_t i = 0; result == 0 && i < instances[step.category]; ++i) {
            if (step.category == PARAM_CATEGORY_VIRTUALTRACE)
                digitizer->vtrace[i].owner = digitizer; /* the trace block's way back to its record */
            result = build(step, i, 0);
            if (result != 0 || step.category != PARAM_CATEGORY_HVCHANNEL)
                continue;
            const c_HVChannelBlock_t* hv = &digitizer->hv[i];
            uint32_t ranges = hv->rangeCount < DPPL_MAX_HV_RANGES ? hv->rangeCount : DPPL_MAX_HV_RANGES;
            for (uint32_t r = 0; result == 0 && r < ranges; ++r)
                result = build(kHVRangeBuild, i, r);
        }
    }
    c_xml_freedoc(document);
    return result;
}

} // extern "C"
