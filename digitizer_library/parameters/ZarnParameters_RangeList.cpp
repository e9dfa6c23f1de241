/*
 * ZarnParameters_RangeList: the range part of a type-0 parameter (limits,
 * step, default, or a range function of the plug-in) and the value list of a
 * type-1 parameter (its ParamValue children, or a values function), both read
 * from the board element.
 */
#include <math.h>

#include "ZarnParametersBuild.h"

namespace parambuild {

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

namespace {

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

} // namespace

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

} // namespace parambuild
