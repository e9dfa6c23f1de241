// XML documents over libxml2: loading, XPath node sets, element lookups by
// name and name path, attribute values and element codes.
#include "ZarnUtility.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

static const c_LogModule_t ZARN_LOG = {"ZarnUtilityLog.txt", "ZarnXml"};

namespace {

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

const char* text(const xmlChar* value) { return reinterpret_cast<const char*>(value); }

// libxml2 must be initialised once before documents are used from several
// threads.
void initParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// XPath errors are reported by the query's result; keep them off stderr.
void ignoreXmlError(void*, xmlErrorPtr) {}

bool isElement(xmlNodePtr node, const char* name) {
    return node != NULL && node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, xml(name));
}

// Splits "a/b/c" into its names; false for an empty path or an empty name.
bool splitNamePath(const char* namePath, std::vector<std::string>& names) {
    std::string path(namePath);
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name.empty())
            return false;
        names.push_back(name);
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

// The first element that continues the name path names[index..] as a chain of
// children of node, or NULL.
xmlNodePtr matchChildren(xmlNodePtr node, const std::vector<std::string>& names, size_t index) {
    if (index == names.size())
        return node;
    for (xmlNodePtr child = node->children; child != NULL; child = child->next) {
        if (!isElement(child, names[index].c_str()))
            continue;
        xmlNodePtr found = matchChildren(child, names, index + 1);
        if (found != NULL)
            return found;
    }
    return NULL;
}

// The next node after node in a depth-first walk of the subtree of top.
xmlNodePtr nextInSubtree(xmlNodePtr node, xmlNodePtr top) {
    if (node->children != NULL && node->type == XML_ELEMENT_NODE)
        return node->children;
    while (node != top) {
        if (node->next != NULL)
            return node->next;
        node = node->parent;
    }
    return NULL;
}

// A number of a code: decimal, 0x hexadecimal or floating, with surrounding
// blanks allowed and nothing else after it.
bool parseCode(const char* value, double* code) {
    if (value == NULL)
        return false;
    char* end = NULL;
    double parsed = strtod(value, &end);
    if (end == value)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')
        end++;
    if (*end != '\0' || !isfinite(parsed))
        return false;
    *code = parsed;
    return true;
}

int readCode(xmlNodePtr element, double* code) {
    if (element == NULL || element->type != XML_ELEMENT_NODE || code == NULL)
        return -1;
    const char* attribute = c_xml_getattributevalue(element, "code", 0);
    if (attribute != NULL)
        return parseCode(attribute, code) ? 0 : -2;
    xmlNodePtr child = c_xml_getfirstchildrenelementfromname(element, "code");
    if (child == NULL)
        return -1;
    xmlChar* content = xmlNodeGetContent(child);
    bool parsed = parseCode(text(content), code);
    xmlFree(content);
    return parsed ? 0 : -2;
}

} // namespace

extern "C" xmlDocPtr c_xml_newfile(const char* path) {
    if (path == NULL)
        return NULL;
    initParser();
    xmlDocPtr document = xmlReadFile(path, NULL, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (document == NULL) {
        xmlErrorPtr error = xmlGetLastError();
        c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "Can't read XML document '%s': %s", path,
                  error != NULL && error->message != NULL ? error->message : "unknown error\n");
    }
    return document;
}

extern "C" void c_xml_freedoc(xmlDocPtr document) {
    if (document != NULL)
        xmlFreeDoc(document);
}

extern "C" const char* c_xml_getpath(xmlDocPtr document) { return document == NULL ? NULL : text(document->URL); }

extern "C" const char* c_xml_parserversion(void) { return xmlParserVersion; }

extern "C" xmlNodePtr c_xml_getrootnode(xmlDocPtr document) {
    return document == NULL ? NULL : xmlDocGetRootElement(document);
}

extern "C" c_xml_nodeset_t* c_xml_getnodeset(xmlDocPtr document, const char* xpath) {
    if (document == NULL || xpath == NULL)
        return NULL;
    initParser();
    xmlXPathContextPtr context = xmlXPathNewContext(document);
    if (context == NULL)
        return NULL;
    context->error = ignoreXmlError;
    xmlXPathObjectPtr result = xmlXPathEvalExpression(xml(xpath), context);
    c_xml_nodeset_t* set = NULL;
    if (result == NULL) {
        c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "Invalid XPath query '%s'.", xpath);
    } else if (result->type == XPATH_NODESET && result->nodesetval != NULL && result->nodesetval->nodeNr > 0) {
        xmlNodeSetPtr nodes = result->nodesetval;
        xmlXPathNodeSetSort(nodes); // document order, whatever the query's axes
        set = static_cast<c_xml_nodeset_t*>(c_malloc(sizeof *set));
        xmlNodePtr* copy = static_cast<xmlNodePtr*>(c_malloc(sizeof(xmlNodePtr) * nodes->nodeNr));
        if (set == NULL || copy == NULL) {
            c_free(set);
            c_free(copy);
            set = NULL;
        } else {
            memcpy(copy, nodes->nodeTab, sizeof(xmlNodePtr) * nodes->nodeNr);
            set->count = nodes->nodeNr;
            set->nodes = copy;
        }
    }
    xmlXPathFreeObject(result);
    xmlXPathFreeContext(context);
    return set;
}

extern "C" void c_xml_freenodeset(c_xml_nodeset_t* set) {
    if (set == NULL)
        return;
    c_free(set->nodes);
    c_free(set);
}

extern "C" xmlNodePtr c_xml_getfirstnodefromxpathquery(xmlDocPtr document, const char* xpath) {
    c_xml_nodeset_t* set = c_xml_getnodeset(document, xpath);
    xmlNodePtr first = set != NULL ? set->nodes[0] : NULL;
    c_xml_freenodeset(set);
    return first;
}

extern "C" xmlNodePtr c_xml_getfirstchildrenelementfromname(xmlNodePtr parent, const char* name) {
    if (parent == NULL || name == NULL)
        return NULL;
    for (xmlNodePtr child = parent->children; child != NULL; child = child->next)
        if (isElement(child, name))
            return child;
    return NULL;
}

extern "C" xmlNodePtr c_xml_getfirstdescendantelementfromname(xmlNodePtr parent, const char* namePath) {
    if (parent == NULL || namePath == NULL)
        return NULL;
    try {
        std::vector<std::string> names;
        if (!splitNamePath(namePath, names))
            return NULL;
        for (xmlNodePtr node = parent->children; node != NULL; node = nextInSubtree(node, parent)) {
            if (!isElement(node, names[0].c_str()))
                continue;
            xmlNodePtr found = matchChildren(node, names, 1);
            if (found != NULL)
                return found;
        }
    } catch (...) {}
    return NULL;
}

extern "C" const char* c_xml_getattributevalue(xmlNodePtr element, const char* name, int warnIfMissing) {
    if (element == NULL || name == NULL || element->type != XML_ELEMENT_NODE)
        return NULL;
    xmlAttrPtr attribute = xmlHasProp(element, xml(name));
    if (attribute == NULL) {
        if (warnIfMissing)
            c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "Element '%s' has no attribute '%s'.", text(element->name),
                      name);
        return NULL;
    }
    if (attribute->type == XML_ATTRIBUTE_DECL) { // a default value of the document type
        const xmlChar* fallback = reinterpret_cast<xmlAttributePtr>(attribute)->defaultValue;
        return fallback != NULL ? text(fallback) : "";
    }
    xmlNodePtr value = attribute->children;
    if (value == NULL)
        return "";
    if (value->next == NULL && value->type == XML_TEXT_NODE)
        return text(value->content);
    // A value made of several nodes (entity references): fold it into one
    // text node once, so that the tree owns the text handed out.
    static std::mutex foldMutex;
    std::lock_guard<std::mutex> guard(foldMutex);
    value = attribute->children;
    if (value != NULL && (value->next != NULL || value->type != XML_TEXT_NODE)) {
        xmlChar* folded = xmlNodeListGetString(element->doc, value, 1);
        xmlNodePtr single = folded != NULL ? xmlNewDocText(element->doc, folded) : NULL;
        xmlFree(folded);
        if (single == NULL)
            return NULL;
        xmlFreeNodeList(value);
        single->parent = reinterpret_cast<xmlNodePtr>(attribute);
        attribute->children = attribute->last = single;
    }
    return attribute->children != NULL ? text(attribute->children->content) : "";
}

extern "C" int c_xml_getcodefromnode(xmlNodePtr element, double* code) { return readCode(element, code); }

extern "C" int c_xml_getcodefromnodechild(xmlNodePtr element, double* code) { return readCode(element, code); }

extern "C" int c_xml_getcodefromcodename(xmlDocPtr document, const char* sectionPath, const char* codeName,
                                         double* code) {
    if (sectionPath == NULL || codeName == NULL)
        return -1;
    xmlNodePtr section = c_xml_getfirstdescendantelementfromname(c_xml_getrootnode(document), sectionPath);
    if (section == NULL)
        return -1;
    xmlNodePtr element = c_xml_getfirstchildrenelementfromname(section, codeName);
    return element == NULL ? -1 : readCode(element, code);
}

extern "C" int c_xml_snprintf(char* buffer, size_t size, const char* format, ...) {
    if (buffer == NULL || size == 0 || format == NULL)
        return -1;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= size)
        return -1;
    return length;
}
