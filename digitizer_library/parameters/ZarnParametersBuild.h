/*
 * ZarnParametersBuild: what the pieces of the parameter build share: the log
 * record of their lines ("ZarnParametersLog.txt"), text fields, number
 * parsing, look-ups in the definitions document, code-name binding, and the
 * steps one piece hands to another: the attribute walk
 * (ZarnParameters_Attributes), the range and list parts
 * (ZarnParameters_RangeList) and one collection from a board document
 * (ZarnParameters_Collections).
 */
#ifndef ZARN_PARAMETERS_BUILD_H
#define ZARN_PARAMETERS_BUILD_H

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ZarnParameters.h"
#include "ZarnRecords.h"

static const c_LogModule_t ZarnParameters_log = {"ZarnParametersLog.txt", "ZarnParameters"};

/* Plain message of the parameter build. */
#define PLOG(level, ...) c_lprintf(&ZarnParameters_log, (level), __LINE__, __VA_ARGS__)

#include "ZarnParametersShared.h"

namespace parambuild {

constexpr size_t kTextMax = C_PARAM_TEXT_SIZE - 1; /* characters kept in a text field */
constexpr size_t kQuerySize = 500;

/* Copies at most kTextMax characters of text into a text field; true when the
 * text had to be cut. */
inline bool copyText(char (&field)[C_PARAM_TEXT_SIZE], const char* text) {
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
inline bool appendText(char (&field)[C_PARAM_TEXT_SIZE], const char* text) {
    size_t used = strnlen(field, kTextMax);
    size_t length = strlen(text);
    bool cut = used + length > kTextMax;
    if (cut)
        length = kTextMax - used;
    memcpy(field + used, text, length);
    field[used + length] = '\0';
    return cut;
}

inline const char* attributeText(xmlAttrPtr attribute) {
    /* An attribute without text counts as empty text. */
    if (attribute->children != NULL && attribute->children->content != NULL)
        return (const char*)attribute->children->content;
    return "";
}

inline const char* elementName(xmlNodePtr node) {
    return (node != NULL && node->name != NULL) ? (const char*)node->name : "";
}

/* A C integer: decimal, 0x hexadecimal or leading-zero octal; trailing
 * characters are ignored. false when no digit was read. */
inline bool parseCInteger(const char* text, long long* value) {
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
inline bool parseDecimalInteger(const char* text, long long* value) {
    char* end = NULL;
    long long parsed = strtoll(text, &end, 10);
    if (end == text)
        return false;
    *value = parsed;
    return true;
}

/* A floating number in C notation, the whole text (trailing blanks allowed). */
inline bool parseFloating(const char* text, double* value) {
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
inline xmlNodePtr findSection(xmlDocPtr document, const char* sectionName) {
    xmlNodePtr root = c_xml_getrootnode(document);
    return root != NULL ? c_xml_getfirstchildrenelementfromname(root, sectionName) : NULL;
}

inline xmlNodePtr findSectionChild(xmlDocPtr document, const char* sectionName, const char* childName) {
    xmlNodePtr section = findSection(document, sectionName);
    return section != NULL ? c_xml_getfirstchildrenelementfromname(section, childName) : NULL;
}

/* The code of an element of the definitions (its "code"). */
inline bool elementCode(xmlNodePtr element, double* code) {
    return element != NULL && c_xml_getcodefromnode(element, code) == 0;
}

/* The code of the value named codeName in ParameterValues/<category>. */
inline bool listValueCode(xmlDocPtr document, const char* category, const char* codeName, double* code) {
    xmlNodePtr values = findSectionChild(document, "ParameterValues", category);
    xmlNodePtr element = values != NULL ? c_xml_getfirstchildrenelementfromname(values, codeName) : NULL;
    return elementCode(element, code);
}

/* A boolean attribute: a code name of ParameterValues/BOOLEANS. */
inline bool parseBoolean(xmlDocPtr document, const char* text, uint8_t* flag) {
    double code = 0;
    if (!listValueCode(document, "BOOLEANS", text, &code))
        return false;
    *flag = code != 0 ? 1 : 0;
    return true;
}

inline void* bindFunction(xmlDocPtr document, const char* codeName) {
    if (codeName == NULL || codeName[0] == '\0')
        return NULL;
    return c_xml_getfunctionpointerfromcodename(document, codeName);
}

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

/* One attribute of the definition or board element, by its name; false fails
 * the build (after the message the attribute's rule calls for). An attribute
 * the walk does not know is left alone. */
bool applyAttribute(BuildState& state, const char* name, const char* text);
/* Every attribute of the element, in the element's order. */
bool applyAttributes(BuildState& state, xmlNodePtr node);

/* Range part of a type-0 parameter, list part of a type-1 parameter, from
 * the board element; false fails the build. */
bool buildRange(c_Parameter_t* p, xmlNodePtr boardNode, xmlDocPtr defs);
bool buildList(c_Parameter_t* p, xmlNodePtr boardNode, xmlDocPtr defs);

/* Code range of a category in the library definitions; false after the
 * message. */
bool categoryCodeRange(const char* category, int32_t* firstCode, int32_t* lastCode);
/* The collection of one category instance for a known code range. */
c_ParamCollection_t* collectionFromDocument(void* owner, xmlDocPtr boardDocument, const char* category, uint32_t index,
                                            int32_t firstCode, int32_t lastCode);

} // namespace parambuild

#endif
