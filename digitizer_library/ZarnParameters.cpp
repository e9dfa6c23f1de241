/*
 * ZarnParameters: parameter records, collections, board definition files and
 * the value engine.
 *
 * Building (c_pfromnode, c_pcfromdoc, GENERIC_LoadParameters) reads XML; the
 * set and get paths never do: they work on the built records only, allocate
 * nothing and find parameters by one bounds check and one array index.
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
#include "ZarnDPPLayer.h"
#include "ZarnDigitizer.h"

static const c_LogModule_t ZarnParameters_log = {"ZarnParametersLog.txt", "ZarnParameters"};

/* Plain message of this module. */
#define PLOG(level, ...) c_lprintf(&ZarnParameters_log, (level), __LINE__, __VA_ARGS__)

/*
 * Message about one board: "<model name>_<serial number>: " and the text, as
 * c_extendedLogMsg writes it, but formed in one call without a heap copy of
 * the format (these messages sit on the set and get paths).
 */
#define BLOG(digitizer, level, format, ...)                                                             \
    do {                                                                                                \
        const c_Digitizer_t* blogBoard_ = (digitizer);                                                  \
        if (blogBoard_ != NULL)                                                                         \
            c_lprintf(&ZarnParameters_log, (level), __LINE__, "%.*s_%u: " format, boardNameLength(blogBoard_), \
                      blogBoard_->descriptor.ModelName, (unsigned)blogBoard_->descriptor.SerialNumber,  \
                      ##__VA_ARGS__);                                                                   \
        else                                                                                            \
            c_lprintf(&ZarnParameters_log, (level), __LINE__, format, ##__VA_ARGS__);                   \
    } while (0)

namespace {

constexpr size_t kTextMax = C_PARAM_TEXT_SIZE - 1; /* characters kept in a text field */
constexpr size_t kQuerySize = 500;
constexpr size_t kFreeValuePathSize = 256;

int boardNameLength(const c_Digitizer_t* digitizer) {
    return (int)strnlen(digitizer->descriptor.ModelName, sizeof digitizer->descriptor.ModelName);
}

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

const char* elementName(xmlNodePtr node) {
    return (node != NULL && node->name != NULL) ? (const char*)node->name : "";
}

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

/* A hexadecimal number of at most 32 bits, read to its end (an optional "0x"
 * prefix, no sign, no blanks). */
bool parseHex32(const char* text, uint32_t* value) {
    if (text == NULL)
        return false;
    const char* digits = text;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    if (*digits == '\0')
        return false;
    uint64_t parsed = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
        int digit;
        if (*c >= '0' && *c <= '9')
            digit = *c - '0';
        else if (*c >= 'a' && *c <= 'f')
            digit = *c - 'a' + 10;
        else if (*c >= 'A' && *c <= 'F')
            digit = *c - 'A' + 10;
        else
            return false;
        parsed = parsed * 16 + (uint64_t)digit;
        if (parsed > 0xFFFFFFFFull)
            return false;
    }
    *value = (uint32_t)parsed;
    return true;
}

/* A decimal number without sign, read to its end. */
bool parseUnsignedDecimal(const char* text, uint32_t* value) {
    if (text == NULL || *text == '\0')
        return false;
    uint64_t parsed = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        parsed = parsed * 10 + (uint64_t)(*c - '0');
        if (parsed > 0xFFFFFFFFull)
            return false;
    }
    *value = (uint32_t)parsed;
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

/* The access-type table is filled once when the library loads: the codes are
 * looked up by name once, not on every set and get. */
uint8_t readOnlyCode() {
    static const uint8_t code = c_getAccessTypeCode("READONLY");
    return code;
}
uint8_t writeOnlyCode() {
    static const uint8_t code = c_getAccessTypeCode("WRITEONLY");
    return code;
}

/* Round a value to the step incr from base, halves away from zero. */
double roundToStep(double value, double base, double incr) {
    return round((value - base) / incr) * incr + base;
}

bool hasUsableStep(const c_Parameter_t* param) {
    return param->incr != 0 && isfinite(param->incr);
}

/* Register field of a value without valtoreg: truncated toward zero to a
 * 64-bit integer (saturated at its limits), low 32 bits. */
uint32_t truncatedField(double value) {
    if (value >= 9223372036854775807.0)
        return (uint32_t)INT64_MAX;
    if (value <= -9223372036854775808.0)
        return (uint32_t)INT64_MIN;
    return (uint32_t)(int64_t)value;
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
                PLOG(C_LOG_ERROR, "parameter '%s' specifies an invalid register address expression '%s'.",
                     p->codename, text);
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
                PLOG(C_LOG_ERROR, "Parameter '%s' requires a missing function '%s' to define its ranges.",
                     p->codename, text[0] != '\0' ? text : "NULL");
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
        const char* missing = !hasMin                                        ? "min"
                              : !hasMax                                      ? "max"
                              : !hasIncr                                     ? "incr"
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
        PLOG(C_LOG_WARNING, "value codename '%s' too long. will be cropped to the first %zu characters (possible errors).",
             codeName, kTextMax);
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

void c_pdelete(c_Parameter_t* param) {
    c_free(param);
}

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
        PLOG(C_LOG_WARNING, "parameter codename '%s' too long. will be cropped to the first %zu characters (possible errors).",
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
        PLOG(C_LOG_WARNING, "parameter name '%s' too long. will be cropped to the first %zu characters (possible errors).",
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
             "Invalid or malformed expression '%s' for parameter '%s'. Assume parameter supported for index %i, but this may lead to problems.",
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
    "BoardParameters",  "ChannelParameters", "LVDSGroupParameters", "VirtualTraceParameters", "HVChannelParameters",
    "HVRangeParameters", "MonOutParameters",  "GroupParameters",     "VGAParameters"};

int32_t slotCount(const c_ParamCollection_t* collection) {
    return collection->lastCode - collection->firstCode + 1;
}

bool holdsCode(const c_ParamCollection_t* collection, int32_t code) {
    return code >= collection->firstCode && code <= collection->lastCode;
}

/* The "code" of the category's element picked by the XPath predicate. */
bool categoryBoundCode(const char* category, const char* predicate, int32_t* code) {
    char query[kQuerySize];
    snprintf(query, sizeof query,
             "/Definitions/Parameters/%s/*[not(@code %s preceding-sibling::*/@code) and not(@code %s following-sibling::*/@code)]",
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

c_ParamCollection_t* c_pcfromdoc(void* owner, xmlDocPtr boardDocument, const char* categoryElementName, uint32_t index) {
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

    const c_BoardDescriptor_t* board = &digitizer->descriptor;
    /* Instance counts, kept within the record's slots. */
    uint32_t groups = board->NumGroups < DPPL_MAX_GROUPS ? board->NumGroups : DPPL_MAX_GROUPS;
    uint32_t channels = board->NumChannels < DPPL_MAX_CHANNELS ? board->NumChannels : DPPL_MAX_CHANNELS;
    uint32_t lvdsGroups = board->LVDSGroups < DPPL_MAX_LVDS_GROUPS ? board->LVDSGroups : DPPL_MAX_LVDS_GROUPS;
    uint64_t traceSum = (uint64_t)board->AnalogVTraces + board->DigitalVTraces;
    uint32_t traces = traceSum < DPPL_MAX_VTRACES ? (uint32_t)traceSum : DPPL_MAX_VTRACES;
    uint32_t hvChannels = board->HVChannels < DPPL_MAX_HV_CHANNELS ? board->HVChannels : DPPL_MAX_HV_CHANNELS;
    uint32_t monOuts = board->MonOuts < DPPL_MAX_MONOUTS ? board->MonOuts : DPPL_MAX_MONOUTS;
    uint32_t vgas = board->VGAs < DPPL_MAX_VGAS ? board->VGAs : DPPL_MAX_VGAS;

    /* The code range of each category is read once; all its instances share it. */
    int32_t firstCode[PARAM_CATEGORY_COUNT] = {};
    int32_t lastCode[PARAM_CATEGORY_COUNT] = {};
    bool rangeRead[PARAM_CATEGORY_COUNT] = {};
    bool rangeOk[PARAM_CATEGORY_COUNT] = {};
    auto build = [&](void* owner, int32_t category, uint32_t index) -> c_ParamCollection_t* {
        const char* name = kCategoryNames[category];
        if (!rangeRead[category]) {
            rangeRead[category] = true;
            rangeOk[category] = categoryCodeRange(name, &firstCode[category], &lastCode[category]);
        }
        if (!rangeOk[category])
            return NULL;
        return collectionFromDocument(owner, document, name, index, firstCode[category], lastCode[category]);
    };

    int result = 0;
    digitizer->boardColl = build(digitizer, PARAM_CATEGORY_BOARD, C_PARAM_NO_INDEX);
    if (digitizer->boardColl == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Can't create board parameters from file.");
        result = -2;
    }
    for (uint32_t g = 0; result == 0 && g < groups; ++g) {
        digitizer->groupColl[g] = build(&digitizer->groupColl[g], PARAM_CATEGORY_GROUP, g);
        if (digitizer->groupColl[g] == NULL) {
            BLOG(digitizer, C_LOG_ERROR, "Can't create groups parameters from file.");
            result = -3;
        }
    }
    for (uint32_t c = 0; result == 0 && c < channels; ++c) {
        digitizer->channels[c].coll = build(&digitizer->channels[c], PARAM_CATEGORY_CHANNEL, c);
        if (digitizer->channels[c].coll == NULL) {
            BLOG(digitizer, C_LOG_ERROR, "Can't create channels parameters from file.");
            result = -4;
        }
    }
    for (uint32_t l = 0; result == 0 && l < lvdsGroups; ++l) {
        digitizer->lvdsColl[l] = build(&digitizer->lvdsColl[l], PARAM_CATEGORY_LVDSGROUP, l);
        if (digitizer->lvdsColl[l] == NULL) {
            BLOG(digitizer, C_LOG_ERROR, "Can't create LVDS Group parameters from file.");
            result = -5;
        }
    }
    for (uint32_t t = 0; result == 0 && t < traces; ++t) {
        digitizer->vtrace[t].owner = digitizer;
        digitizer->vtrace[t].coll = build(&digitizer->vtrace[t], PARAM_CATEGORY_VIRTUALTRACE, t);
        if (digitizer->vtrace[t].coll == NULL) {
            BLOG(digitizer, C_LOG_ERROR, "Can't create Virtual Traces parameters from file.");
            result = -6;
        }
    }
    for (uint32_t h = 0; result == 0 && h < hvChannels; ++h) {
        c_HVChannelBlock_t* hv = &digitizer->hv[h];
        hv->coll = build(hv, PARAM_CATEGORY_HVCHANNEL, h);
        if (hv->coll == NULL) {
            BLOG(digitizer, C_LOG_ERROR, "Can't create HV channels parameters from file.");
            result = -7;
            break;
        }
        uint32_t ranges = hv->rangeCount < DPPL_MAX_HV_RANGES ? hv->rangeCount : DPPL_MAX_HV_RANGES;
        for (uint32_t r = 0; r < ranges; ++r) {
            /* Range parameters take the channel's index, not the range's. */
            hv->ranges[r].coll = build(&hv->ranges[r], PARAM_CATEGORY_HVRANGE, h);
            if (hv->ranges[r].coll == NULL) {
                BLOG(digitizer, C_LOG_ERROR, "Can't create HV range parameters from file.");
                result = -8;
                break;
            }
        }
    }
    if (result == 0 && monOuts > 0) {
        digitizer->monOutColl = build(&digitizer->monOutColl, PARAM_CATEGORY_MONOUT, 0);
        if (digitizer->monOutColl == NULL) {
            BLOG(digitizer, C_LOG_ERROR, "Can't create Output Monitors parameters from file.");
            result = -9;
        }
    }
    for (uint32_t v = 0; result == 0 && v < vgas; ++v) {
        digitizer->vgaColl[v] = build(&digitizer->vgaColl[v], PARAM_CATEGORY_VGA, v);
        if (digitizer->vgaColl[v] == NULL) {
            BLOG(digitizer, C_LOG_ERROR, "Can't create VGA parameters from file.");
            result = -10;
        }
    }
    c_xml_freedoc(document);
    return result;
}

} // extern "C"

/* ==========================================================================
 * Value engine
 * ========================================================================== */

namespace {

bool isSoftwareOnly(const c_ParamRef_t* ref) {
    if (ref->param->swcheck != NULL)
        return ref->param->swcheck(ref);
    return ref->param->regaddr == 0;
}

/* Broadcast addresses 0x80nn (nn above 0x01) are written there but read at
 * 0x10nn. */
uint32_t readAddressOf(const c_Digitizer_t* digitizer, const c_Parameter_t* param) {
    uint32_t address = param->regaddr;
    uint32_t low = address & 0xFF;
    if (((address >> 8) & 0xFF) == 0x80 && low != 0x00 && low != 0x01) {
        uint32_t readAddress = low | 0x1000;
        BLOG(digitizer, C_LOG_DETAIL,
             "Addr 0x%04X of parameter '%s' seems to be a broadcast address, will instead use 0x%04X to read the value.",
             address, param->name, readAddress);
        return readAddress;
    }
    return address;
}

uint32_t registerChannel(const c_Parameter_t* param) {
    return (param->regaddr >> 8) & 0xF;
}

bool isSecondGenReplay(const c_Digitizer_t* digitizer) {
    return digitizer != NULL && digitizer->kind == DGTZ_KIND_GEN2_REPLAY;
}

/* Whether a high-voltage channel of the board is on: only the register-level
 * device reports one; any other board is off. */
bool hvChannelIsOn(c_Digitizer_t* digitizer, uint32_t hvChannel) {
    if (digitizer->descriptor.DPPCode != DPPL_DPPCODE_MORVANE)
        return false;
    c_Parameter_t* on = c_pfindhvc(digitizer, (int32_t)hvChannel, DPPL_PARAM_HVCH_ON);
    double value = 0;
    if (on == NULL || isSecondGenReplay(digitizer) || GENERIC_GetParam(digitizer, on, &value) != 0) {
        BLOG(digitizer, C_LOG_WARNING, "Unable to retrieve %s parameter value.", on != NULL ? on->name : "HVCH_ON");
        return false;
    }
    return (int64_t)value != 0;
}

/* Acquisition status that decides whether param may be set now. */
int32_t acquisitionStatusFor(c_Digitizer_t* digitizer, const c_Parameter_t* param, int32_t* category) {
    if (digitizer->descriptor.FamilyCode == DPPL_FAMILY_MORVANE) {
        *category = c_getParamCategory(digitizer, param->code);
        if (*category == PARAM_CATEGORY_CHANNEL)
            return digitizer->channels[registerChannel(param)].acqStatus;
    }
    return digitizer->acqStatus;
}

/* Field shift of a mask (trailing zero bits); the mask must not be 0. */
uint32_t fieldShift(uint32_t mask) {
    return (uint32_t)__builtin_ctz(mask);
}

/* A value that no bound of the parameter made finite: nothing is set. */
int refuseValue(c_Digitizer_t* digitizer, const c_Parameter_t* param, double value) {
    BLOG(digitizer, C_LOG_ERROR, "Value %f is not a valid number for parameter '%s'", value, param->name);
    return DPPL_ERR_PARAMETER;
}

/* Category of a parameter not looked up yet. */
constexpr int32_t kCategoryNotAsked = INT32_MIN;

} // namespace

extern "C" {

int c_pset(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    if (param != NULL) {
        if (isnan(value)) {
            /* Never stored, never converted: a preferred value must stay usable. */
            BLOG(digitizer, C_LOG_ERROR, "Value %f is not a valid number for parameter '%s'", value, param->name);
            return DPPL_ERR_PARAMETER;
        }
        param->preferred = value;
    }
    return GENERIC_SetParam(digitizer, param, value, 0);
}

int c_pset_nopref(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    return GENERIC_SetParam(digitizer, param, value, 0);
}

int c_pget(c_Digitizer_t* digitizer, c_Parameter_t* param, double* value) {
    if (isSecondGenReplay(digitizer))
        return DPPL_ERR_NOT_SUPPORTED;
    return GENERIC_GetParam(digitizer, param, value);
}

int GENERIC_SetParam(c_Digitizer_t* digitizer, c_Parameter_t* param, double value, uint32_t flags) {
    if (param == NULL)
        return DPPL_ERR_NULL_ARGUMENT;

    if ((flags & C_SETPARAM_SKIP_ACCESS) == 0 && param->accesstype == readOnlyCode()) {
        BLOG(digitizer, C_LOG_DETAIL, "Read-only register 0x%04X corresponding to parameter %s.", param->regaddr,
             param->name);
        if (isSecondGenReplay(digitizer))
            return DPPL_ERR_NOT_SUPPORTED;
        double current = 0;
        return GENERIC_GetParam(digitizer, param, &current);
    }

    /* Without a record there is no acquisition and no high voltage to guard. */
    int32_t category = kCategoryNotAsked;
    if (digitizer != NULL && (flags & C_SETPARAM_SKIP_ACQUISITION) == 0 && param->acqon != 1) {
        int32_t status = acquisitionStatusFor(digitizer, param, &category);
        if (status != ACQSTATUS_STOPPED && status != ACQSTATUS_PAUSED)
            return DPPL_ERR_INVALID_ACQ_STATUS;
    }
    if (digitizer != NULL && (flags & C_SETPARAM_SKIP_HV) == 0 && param->hvon != 1) {
        if (category == kCategoryNotAsked)
            category = c_getParamCategory(digitizer, param->code);
        if (category == PARAM_CATEGORY_HVCHANNEL && hvChannelIsOn(digitizer, registerChannel(param)))
            return DPPL_ERR_HV;
    }
    if (isSecondGenReplay(digitizer))
        return DPPL_ERR_NOT_SUPPORTED;
    return GENERIC_SetParamValue(digitizer, param, value);
}

int GENERIC_SetParamValue(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    if (param == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    /* Not a number passes every comparison and clamp; it must never reach a
     * converter, a set function or a register. */
    if (isnan(value))
        return refuseValue(digitizer, param, value);
    c_ParamRef_t ref = {digitizer, param};

    if (param->type == C_PARAM_TYPE_LIST) {
        uint32_t entries = param->count < C_PARAM_MAX_VALUES ? param->count : C_PARAM_MAX_VALUES;
        bool allowed = false;
        for (uint32_t i = 0; i < entries && !allowed; ++i)
            allowed = param->values[i].value == value;
        if (!allowed) {
            BLOG(digitizer, C_LOG_ERROR, "Value %.3f is not allowed for parameter '%s'", value, param->name);
            return DPPL_ERR_PARAMETER;
        }
    }

    if (param->preset != NULL) {
        int result = param->preset(&ref);
        if (result != 0) {
            BLOG(digitizer, C_LOG_ERROR, "Error from preset function while setting '%s=%.3f'", param->name, value);
            return result;
        }
    }

    if (isSoftwareOnly(&ref)) {
        if (param->type == C_PARAM_TYPE_RANGE) {
            if (hasUsableStep(param))
                value = roundToStep(value, isfinite(param->min) ? param->min : 0.0, param->incr);
            value = GENERIC_ClampParamValue(digitizer, param, value);
            if (!isfinite(value)) /* an infinite value beyond an infinite bound */
                return refuseValue(digitizer, param, value);
        }
        if (param->setfcn != NULL) {
            int result = param->setfcn(&ref, value);
            if (result != 0)
                return result;
        } else {
            param->value = value;
        }
    } else {
        if (param->regaddr == C_PARAM_UNREACHABLE_ADDRESS) {
            BLOG(digitizer, C_LOG_ERROR, "Parameter '%s' has no register the board can reach.", param->name);
            return DPPL_ERR_PARAMETER;
        }
        if (param->type == C_PARAM_TYPE_RANGE)
            value = GENERIC_ClampParamValue(digitizer, param, value);
        if (!isfinite(value))
            return refuseValue(digitizer, param, value);
        uint32_t field = param->valtoreg != NULL ? param->valtoreg(&ref, value) : truncatedField(value);
        uint32_t word = field;
        if (param->mask != C_PARAM_FULL_MASK) {
            if (param->mask == 0) {
                BLOG(digitizer, C_LOG_ERROR, "Parameter '%s' has an empty register mask.", param->name);
                return DPPL_ERR_PARAMETER;
            }
            uint32_t current = 0;
            int result = GENERIC_ReadRegister(digitizer, readAddressOf(digitizer, param), &current);
            if (result != 0)
                return result;
            word = (param->mask & (field << fieldShift(param->mask))) | (~param->mask & current);
        }
        BLOG(digitizer, C_LOG_DETAIL, "Setting '%s=%.3f' writing 0x%08X to 0x%X.", param->name, value, word,
             param->regaddr);
        int result = GENERIC_WriteRegister(digitizer, param->regaddr, word);
        if (result != 0)
            return result;
        param->value = value;
    }

    if (param->postset != NULL) {
        int result = param->postset(&ref);
        if (result != 0) {
            BLOG(digitizer, C_LOG_ERROR, "Error from postset function while setting '%s=%.3f'", param->name, value);
            return result;
        }
    }
    double readBack = 0;
    return GENERIC_GetParam(digitizer, param, &readBack);
}

int GENERIC_GetParam(c_Digitizer_t* digitizer, c_Parameter_t* param, double* value) {
    if (param == NULL || value == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (param->regaddr == C_PARAM_UNREACHABLE_ADDRESS)
        return DPPL_ERR_PARAMETER;
    c_ParamRef_t ref = {digitizer, param};
    if (isSoftwareOnly(&ref)) {
        *value = param->value;
        return 0;
    }
    if (param->accesstype == writeOnlyCode()) {
        BLOG(digitizer, C_LOG_DETAIL,
             "Read from write-only register 0x%04X, using last written value which equals to '%s'=%.3f.",
             param->regaddr, param->name, param->value);
        *value = param->value;
        return 0;
    }
    uint32_t readAddress = readAddressOf(digitizer, param);
    uint32_t word = 0;
    int result = GENERIC_ReadRegister(digitizer, readAddress, &word);
    if (result != 0)
        return result;
    if (param->mask == 0)
        return DPPL_ERR_PARAMETER; /* no field to take from the word */
    uint32_t field = param->mask == C_PARAM_FULL_MASK ? word : (word & param->mask) >> fieldShift(param->mask);
    double converted = param->regtoval != NULL ? param->regtoval(&ref, field) : (double)field;
    if (param->type == C_PARAM_TYPE_RANGE && hasUsableStep(param) && isfinite(converted))
        converted = roundToStep(converted, isfinite(param->min) ? param->min : 0.0, param->incr);
    param->value = converted;
    *value = converted;
    BLOG(digitizer, C_LOG_DETAIL, "Read 0x%08X from 0x%04X, which equals to '%s'=%.3f.", word, readAddress,
         param->name, converted);
    return 0;
}

double GENERIC_ClampParamValue(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    if (param == NULL)
        return value;
    if (value > param->max) {
        BLOG(digitizer, C_LOG_WARNING, "'%s'=%.3f is a too big value. Using max=%.3f instead.", param->name, value,
             param->max);
        value = param->max;
    }
    if (value < param->min) {
        BLOG(digitizer, C_LOG_WARNING, "'%s'=%.3f is a too small value. Using min=%.3f instead.", param->name, value,
             param->min);
        value = param->min;
    }
    return value;
}

uint32_t GENERIC_ListValToReg(const c_ParamRef_t* ref, double value) {
    if (ref == NULL || ref->param == NULL)
        return 0;
    const c_Parameter_t* param = ref->param;
    uint32_t entries = param->count < C_PARAM_MAX_VALUES ? param->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < entries; ++i) {
        if (param->values[i].value == value)
            return param->values[i].regvalue;
    }
    BLOG(ref->board, C_LOG_WARNING, "Can't find the given value (%f) in list. Will be used %f instead.", value,
         param->values[0].value);
    return param->values[0].regvalue;
}

double GENERIC_ListRegToVal(const c_ParamRef_t* ref, uint32_t field) {
    if (ref == NULL || ref->param == NULL)
        return 0;
    const c_Parameter_t* param = ref->param;
    uint32_t entries = param->count < C_PARAM_MAX_VALUES ? param->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < entries; ++i) {
        if (param->values[i].regvalue == field)
            return param->values[i].value;
    }
    BLOG(ref->board, C_LOG_WARNING, "Can't find a value for register value %u. This should never happen. Will return default %f.",
         field, param->values[0].value);
    return param->values[0].value;
}

/* ------------------------------------------------------------- registers */

int GENERIC_WriteRegister(c_Digitizer_t* digitizer, uint32_t address, uint32_t value) {
    if (digitizer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (digitizer->replay)
        return DPPL_ERR_FILE_DIGITIZER;
    int32_t handle = digitizer->descriptor.CommHandle;
    int result = ZarnComm_Write32(handle, address, value);
    if (result != 0) {
        BLOG(digitizer, C_LOG_ERROR, "ZarnComm_Write32(%d, 0x%X, 0x%X) failed with error %i.", handle, address, value,
             result);
        return DPPL_ERR_WRITE_REGISTER;
    }
    return 0;
}

int GENERIC_ReadRegister(c_Digitizer_t* digitizer, uint32_t address, uint32_t* value) {
    if (digitizer == NULL || value == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (digitizer->replay)
        return DPPL_ERR_FILE_DIGITIZER;
    int32_t handle = digitizer->descriptor.CommHandle;
    int result = ZarnComm_Read32(handle, address, value);
    if (result != 0) {
        BLOG(digitizer, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", handle, address, result);
        return DPPL_ERR_READ_REGISTER;
    }
    return 0;
}

int c_rwrite(c_Digitizer_t* digitizer, uint32_t address, uint32_t value) {
    return GENERIC_WriteRegister(digitizer, address, value);
}

int c_rread(c_Digitizer_t* digitizer, uint32_t address, uint32_t* value) {
    return GENERIC_ReadRegister(digitizer, address, value);
}

/* ------------------------------------------------------ free-value paths */

int GENERIC_ParseFreeValuePath(const char* path, uint32_t* address, uint32_t* mask, uint8_t* shift) {
    if (path == NULL || address == NULL || mask == NULL || shift == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    char buffer[kFreeValuePathSize];
    snprintf(buffer, sizeof buffer, "%s", path);

    /* Tokens: the first ends at '/', the others are split at '-'; empty
     * tokens are skipped; at most three count. */
    char* tokens[3] = {NULL, NULL, NULL};
    int count = 0;
    char* save = NULL;
    for (char* token = strtok_r(buffer, "/", &save); token != NULL && count < 3;
         token = strtok_r(NULL, "-", &save))
        tokens[count++] = token;

    if (count == 0) {
        PLOG(C_LOG_ERROR, "Empty free value path.");
        return DPPL_ERR_GENERIC;
    }
    if (!parseHex32(tokens[0], address)) {
        PLOG(C_LOG_ERROR, "Unable to parse registry address '%s'.", tokens[0]);
        return DPPL_ERR_GENERIC;
    }
    if (count == 1) {
        *mask = C_PARAM_FULL_MASK;
        *shift = 0;
        return 0;
    }
    if (count == 2) {
        if (!parseHex32(tokens[1], mask)) {
            PLOG(C_LOG_ERROR, "Unable to parse mask '%s'.", tokens[1]);
            return DPPL_ERR_GENERIC;
        }
        *shift = 0; /* the value stands in register position */
        return 0;
    }
    uint32_t start = 0, end = 0;
    if (!parseUnsignedDecimal(tokens[1], &start)) {
        PLOG(C_LOG_ERROR, "Unable to parse start bit '%s'.", tokens[1]);
        return DPPL_ERR_GENERIC;
    }
    if (!parseUnsignedDecimal(tokens[2], &end)) {
        PLOG(C_LOG_ERROR, "Unable to parse end bit '%s'.", tokens[2]);
        return DPPL_ERR_GENERIC;
    }
    if (start >= 32) {
        PLOG(C_LOG_ERROR, "Out of range start bit '%s'.", tokens[1]);
        return DPPL_ERR_GENERIC;
    }
    if (end >= 32 || end < start) { /* a field runs upwards from its start bit */
        PLOG(C_LOG_ERROR, "Out of range end bit '%s'.", tokens[2]);
        return DPPL_ERR_GENERIC;
    }
    uint64_t upTo = (2ull << end) - 1;    /* bits 0..end */
    uint64_t below = (1ull << start) - 1; /* bits 0..start-1 */
    *mask = (uint32_t)(upTo & ~below);
    *shift = (uint8_t)start;
    return 0;
}

int c_fvset(c_Digitizer_t* digitizer, const char* path, const char* hexValue) {
    if (digitizer == NULL || path == NULL || hexValue == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (isSecondGenReplay(digitizer))
        return DPPL_ERR_NOT_SUPPORTED;
    uint32_t address = 0, mask = 0;
    uint8_t shift = 0;
    int result = GENERIC_ParseFreeValuePath(path, &address, &mask, &shift);
    if (result != 0)
        return result;
    uint32_t value = 0;
    if (!parseHex32(hexValue, &value)) {
        PLOG(C_LOG_ERROR, "Unable to parse value '%s'.", hexValue);
        return DPPL_ERR_GENERIC;
    }
    uint32_t word = value << shift;
    if (mask != C_PARAM_FULL_MASK) {
        uint32_t current = 0;
        result = GENERIC_ReadRegister(digitizer, address, &current);
        if (result != 0)
            return result;
        word = (mask & word) | (~mask & current);
    }
    return GENERIC_WriteRegister(digitizer, address, word);
}

int c_fvget(c_Digitizer_t* digitizer, const char* path, char* hexOut) {
    if (digitizer == NULL || path == NULL || hexOut == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (isSecondGenReplay(digitizer))
        return DPPL_ERR_NOT_SUPPORTED;
    uint32_t address = 0, mask = 0;
    uint8_t shift = 0;
    int result = GENERIC_ParseFreeValuePath(path, &address, &mask, &shift);
    if (result != 0)
        return result;
    uint32_t word = 0;
    result = GENERIC_ReadRegister(digitizer, address, &word);
    if (result != 0)
        return result;
    snprintf(hexOut, 9, "%x", (word & mask) >> shift);
    return 0;
}

/* ---------------------------------------------------------------- lookups */

} // extern "C"

namespace {

bool lookupAllowed(const c_Digitizer_t* digitizer) {
    return digitizer != NULL && (digitizer->kind == DGTZ_KIND_OPEN || digitizer->kind == DGTZ_KIND_GEN2_REPLAY);
}

bool indexWithin(c_Digitizer_t* digitizer, int32_t index, uint64_t bound, const char* format) {
    if (index >= 0 && (uint64_t)index < bound)
        return true;
    c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, format, index);
    return false;
}

/* Bounds of the record's slot arrays, within which every count is kept. */
uint64_t boundOf(uint64_t count, uint64_t slots) {
    return count < slots ? count : slots;
}

} // namespace

extern "C" {

c_Parameter_t* c_pfind(c_Digitizer_t* digitizer, int32_t code) {
    if (!lookupAllowed(digitizer))
        return NULL;
    return _pretrieve(digitizer->boardColl, code);
}

c_Parameter_t* c_pfindg(c_Digitizer_t* digitizer, int32_t group, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, group, boundOf(digitizer->descriptor.NumGroups, DPPL_MAX_GROUPS), "Invalid Group %i"))
        return NULL;
    return _pretrieve(digitizer->groupColl[group], code);
}

c_Parameter_t* c_pfindc(c_Digitizer_t* digitizer, int32_t channel, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, channel, boundOf(digitizer->descriptor.NumChannels, DPPL_MAX_CHANNELS),
                     "Invalid Channel %i"))
        return NULL;
    return _pretrieve(digitizer->channels[channel].coll, code);
}

c_Parameter_t* c_pfindlg(c_Digitizer_t* digitizer, int32_t lvdsGroup, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, lvdsGroup, boundOf(digitizer->descriptor.LVDSGroups, DPPL_MAX_LVDS_GROUPS),
                     "Invalid LVDS Group %i"))
        return NULL;
    return _pretrieve(digitizer->lvdsColl[lvdsGroup], code);
}

c_Parameter_t* c_pfindvt(c_Digitizer_t* digitizer, int32_t trace, int32_t code) {
    if (!lookupAllowed(digitizer))
        return NULL;
    uint64_t traces = (uint64_t)digitizer->descriptor.AnalogVTraces + digitizer->descriptor.DigitalVTraces;
    if (!indexWithin(digitizer, trace, boundOf(traces, DPPL_MAX_VTRACES), "Invalid Trace %i"))
        return NULL;
    return _pretrieve(digitizer->vtrace[trace].coll, code);
}

c_Parameter_t* c_pfindhvc(c_Digitizer_t* digitizer, int32_t hvChannel, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, hvChannel, boundOf(digitizer->descriptor.HVChannels, DPPL_MAX_HV_CHANNELS),
                     "Invalid HV Channel %i"))
        return NULL;
    return _pretrieve(digitizer->hv[hvChannel].coll, code);
}

c_Parameter_t* c_pfindhvr(c_Digitizer_t* digitizer, int32_t hvChannel, int32_t range, int32_t code) {
    if (!lookupAllowed(digitizer))
        return NULL;
    uint64_t channels = boundOf(digitizer->descriptor.HVChannels, DPPL_MAX_HV_CHANNELS);
    bool channelOk = hvChannel >= 0 && (uint64_t)hvChannel < channels;
    uint64_t ranges = channelOk ? boundOf(digitizer->hv[hvChannel].rangeCount, DPPL_MAX_HV_RANGES) : 0;
    if (!channelOk || range < 0 || (uint64_t)range >= ranges) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, "Invalid HV Range %i for HV channel %i",
                         range, hvChannel);
        return NULL;
    }
    return _pretrieve(digitizer->hv[hvChannel].ranges[range].coll, code);
}

c_Parameter_t* c_pfindmo(c_Digitizer_t* digitizer, int32_t monOut, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, monOut, boundOf(digitizer->descriptor.MonOuts, DPPL_MAX_MONOUTS),
                     "Invalid Output Monitor %i"))
        return NULL;
    return _pretrieve(digitizer->monOutColl, code);
}

c_Parameter_t* c_pfindvga(c_Digitizer_t* digitizer, int32_t vga, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, vga, boundOf(digitizer->descriptor.VGAs, DPPL_MAX_VGAS), "Invalid VGA index %i"))
        return NULL;
    return _pretrieve(digitizer->vgaColl[vga], code);
}

int32_t c_getParamCategory(c_Digitizer_t* digitizer, int32_t code) {
    if (digitizer == NULL)
        return PARAM_CATEGORY_UNSUPPORTED;
    if (digitizer->boardColl == NULL)
        PLOG(C_LOG_ERROR, "Coll cannot be NULL. Can't check if category has code.");
    else if (holdsCode(digitizer->boardColl, code))
        return PARAM_CATEGORY_BOARD;
    const struct {
        const c_ParamCollection_t* collection;
        int32_t category;
    } firsts[] = {
        {digitizer->groupColl[0], PARAM_CATEGORY_GROUP},
        {digitizer->channels[0].coll, PARAM_CATEGORY_CHANNEL},
        {digitizer->lvdsColl[0], PARAM_CATEGORY_LVDSGROUP},
        {digitizer->vtrace[0].coll, PARAM_CATEGORY_VIRTUALTRACE},
        {digitizer->hv[0].coll, PARAM_CATEGORY_HVCHANNEL},
        {digitizer->hv[0].ranges[0].coll, PARAM_CATEGORY_HVRANGE},
        {digitizer->monOutColl, PARAM_CATEGORY_MONOUT},
        {digitizer->vgaColl[0], PARAM_CATEGORY_VGA},
    };
    for (const auto& first : firsts) {
        if (first.collection != NULL && holdsCode(first.collection, code))
            return first.category;
    }
    return PARAM_CATEGORY_UNSUPPORTED;
}

/* ------------------------------------------------------------ services */

} // extern "C"

namespace {

/* Shift and normalisation of one triangular filter: the index of the
 * highest set bit of the product's integer part, and 65535 * 2^shift over
 * the product. false for a product whose integer part is 0 or does not fit
 * 32 bits. */
bool triangFactors(double product, int32_t* norm, int32_t* shift) {
    if (!(product >= 1.0) || !(product < 4294967296.0))
        return false;
    uint32_t integerPart = (uint32_t)product;
    int32_t highestBit = 31 - __builtin_clz(integerPart);
    *shift = highestBit;
    *norm = (int32_t)(65535.0 * ldexp(1.0, highestBit) / product);
    return true;
}

} // namespace

extern "C" {

int c_calcTriangParams(c_Digitizer_t* digitizer, int32_t channel, int32_t* slowNorm, int32_t* fastNorm,
                       int32_t* slowShift, int32_t* fastShift) {
    if (digitizer == NULL || slowNorm == NULL || fastNorm == NULL || slowShift == NULL || fastShift == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Parameter_t* decay = c_pfindc(digitizer, channel, DPPL_PARAM_CH_TDECAY);
    if (decay == NULL) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, "Can't get decay time param.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    c_Parameter_t* rise = c_pfindc(digitizer, channel, DPPL_PARAM_CH_RCCR2_RISE);
    if (rise == NULL) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, "Can't get rise time param.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    double period = digitizer->descriptor.SamplePeriod;
    double d = decay->value / period;
    double r = rise->value / period;
    int32_t fast[2], slow[2];
    if (!(period > 0) || !triangFactors(r * d, &fast[0], &fast[1]) || !triangFactors(3.0 * r * d, &slow[0], &slow[1])) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__,
                         "Can't compute triangular filter factors of channel %i from decay %f ns, rise %f ns and sample period %f ns.",
                         channel, decay->value, rise->value, period);
        return DPPL_ERR_PARAMETER;
    }
    *fastNorm = fast[0];
    *fastShift = fast[1];
    *slowNorm = slow[0];
    *slowShift = slow[1];
    return 0;
}

c_Trace_t* c_atfind(const c_DPPEvent_t* event, int32_t trace) {
    if (event == NULL || event->waveform == NULL || trace < 0 || trace >= DPPL_ANALOG_TRACES)
        return NULL;
    return &event->waveform->traces[trace];
}

c_Trace_t* c_dtfind(const c_DPPEvent_t* event, int32_t trace) {
    if (event == NULL || event->waveform == NULL || trace < DPPL_ANALOG_TRACES || trace >= DPPL_TRACE_SLOTS)
        return NULL;
    return &event->waveform->traces[trace];
}

int c_pgetn(int32_t probe, char* name) {
    if (name == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int32_t boardProbe;
    if (probe == 0)
        boardProbe = 9;
    else if (probe >= 1 && probe <= 4)
        boardProbe = probe - 1;
    else if (probe >= 5 && probe <= 7)
        boardProbe = probe;
    else if (probe == 8)
        boardProbe = 4;
    else if (probe >= 9 && probe <= 26)
        boardProbe = probe + 1;
    else
        boardProbe = -1;
    if (ZARN_DGTZ_GetDPP_VirtualProbeName(boardProbe, name) != 0)
        PLOG(C_LOG_WARNING, "Can't get name of Probe %d", probe);
    return 0;
}

} // extern "C"
