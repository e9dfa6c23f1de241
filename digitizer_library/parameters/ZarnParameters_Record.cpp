/*
 * ZarnParameters_Record: one parameter record: its creation with the record's
 * defaults, its build from a definition element and a board element (the
 * attribute walk, then the range or list part), and the look-ups that pair a
 * board element with its definition and with an instance index.
 *
 * Building (c_pfromnode, c_pcfromdoc, GENERIC_LoadParameters) reads XML; the
 * set and get paths (ZarnParameters_Values) never do: they work on the built
 * records only, allocate nothing and find parameters by one bounds check and
 * one array index.
 */
#include <stdio.h>

#include "ZarnParametersBuild.h"

using namespace parambuild;

namespace {

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
