/*
 * ZarnParameters_Collections: parameter collections (one slot per code of a
 * category's code range), the category names, and the collection of one
 * category instance built from the board definition file.
 */
#include <limits.h>
#include <stdio.h>

#include "ZarnParametersBuild.h"
#include "ZarnParameters_Collections.h"

using namespace parambuild;

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

} // namespace

namespace parambuild {

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

} // namespace parambuild

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
