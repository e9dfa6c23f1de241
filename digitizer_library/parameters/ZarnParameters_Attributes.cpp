/*
 * ZarnParameters_Attributes: the attributes of a parameter's definition and
 * board elements, one row each in a table of names and setters.
 *
 * c_pfromnode walks the definition element's attributes, then the board
 * element's, each in document order, and applies every one the table names;
 * the first that fails ends the build. Attributes that depend on one another:
 * "regaddr" and "regaddrexpr" exclude each other, as do "mask" and
 * "maskexpr" (the second one met fails); "name" appends to what an earlier
 * element gave; what depends on several attributes together (the list
 * converters by type, the mandatory ones, read-only checks) is done after the
 * walk, in c_pfromnode.
 */
#include <type_traits>

#include "ZarnParametersBuild.h"

namespace parambuild {
namespace {

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

/* An address or mask expression evaluated with the instance index; false
 * after the message when it cannot be evaluated. The message names the
 * address expression for a mask expression too, as it always has. */
bool evaluateWord(const BuildState& state, const char* text, uint32_t* word) {
    int64_t value = 0;
    if (c_ee_modifyAndEvaluateExpression(text, state.index, &value) != 0) {
        PLOG(C_LOG_ERROR, "parameter '%s' specifies an invalid register address expression '%s'.",
             state.param->codename, text);
        return false;
    }
    *word = (uint32_t)value;
    return true;
}

/* Whether the parameter has no address (or mask) yet; false after the
 * message when it has one: what names it ("an address", "a mask"). */
bool firstOne(const BuildState& state, bool taken, const char* what) {
    if (!taken)
        return true;
    PLOG(C_LOG_ERROR, "parameter '%s' already specifies %s.", state.param->codename, what);
    return false;
}

/* A C integer attribute into a register word; false after the message when
 * the text holds none. */
bool parseWord(const BuildState& state, const char* name, const char* text, uint32_t* word) {
    long long parsed = 0;
    if (!parseCInteger(text, &parsed)) {
        PLOG(C_LOG_ERROR, "Parse of %s '%s' from parameter '%s' failed.", name, text, state.param->codename);
        return false;
    }
    *word = (uint32_t)parsed;
    return true;
}

void takeMask(BuildState& state, uint32_t mask) {
    if (mask == 0)
        PLOG(C_LOG_WARNING, "parameter '%s' specifies a mask = 0x0.", state.param->codename);
    state.param->mask = mask;
    state.hasMask = true;
}

bool setType(BuildState& state, const char* text) {
    double code = 0;
    if (!elementCode(findSectionChild(state.definitions, "ParameterTypes", text), &code))
        return false;
    state.param->type = (int32_t)code;
    state.hasType = true;
    return true;
}

bool setCode(BuildState& state, const char* text) {
    long long code = 0;
    if (!parseDecimalInteger(text, &code)) {
        PLOG(C_LOG_ERROR, "can't read integer code from node named %s.", state.param->codename);
        return false;
    }
    state.param->code = (int32_t)code;
    state.hasCode = true;
    return true;
}

bool setName(BuildState& state, const char* text) {
    c_Parameter_t* p = state.param;
    if (appendText(p->name, text))
        PLOG(C_LOG_WARNING, "parameter '%s' name '%s' too long. will be cropped to the first %zu characters.",
             p->codename, text, kTextMax);
    state.hasName = true;
    return true;
}

bool setRegaddr(BuildState& state, const char* text) {
    if (!firstOne(state, state.hasAddress, "an address") || !parseWord(state, "regaddr", text, &state.param->regaddr))
        return false;
    state.hasAddress = true;
    return true;
}

bool setRegaddrExpression(BuildState& state, const char* text) {
    if (!firstOne(state, state.hasAddress, "an address"))
        return false;
    c_Parameter_t* p = state.param;
    uint32_t address = 0;
    if (!evaluateWord(state, text, &address))
        return false;
    if (address == 0) {
        PLOG(C_LOG_ERROR, "parameter '%s' specifies an invalid regaddr '%s'.", p->codename, text);
        return false;
    }
    p->regaddr = address;
    state.hasAddress = true;
    return true;
}

bool setMask(BuildState& state, const char* text) {
    uint32_t mask = 0;
    if (!firstOne(state, state.hasMask, "a mask") || !parseWord(state, "mask", text, &mask))
        return false;
    takeMask(state, mask);
    return true;
}

bool setMaskExpression(BuildState& state, const char* text) {
    uint32_t mask = 0;
    if (!firstOne(state, state.hasMask, "a mask") || !evaluateWord(state, text, &mask))
        return false;
    takeMask(state, mask);
    return true;
}

/* A boolean of the record, from a code name of ParameterValues/BOOLEANS. */
template <uint8_t c_Parameter_t::*flag>
bool setFlag(BuildState& state, const char* text) {
    return parseBoolean(state.definitions, text, &(state.param->*flag));
}

bool setGen1Hidden(BuildState& state, const char* text) {
    uint8_t flag = 0;
    if (!parseBoolean(state.definitions, text, &flag))
        return false;
    state.param->gen1hidden = flag;
    return true;
}

/* A function of the plug-in bound by code name into the record; false when
 * the plug-in has none of that name. */
template <auto function>
bool setFunction(BuildState& state, const char* text) {
    using Function = std::remove_reference_t<decltype(state.param->*function)>;
    state.param->*function = (Function)bindFunction(state.definitions, text);
    return state.param->*function != NULL;
}

/* The value converters wait in the walk's state: a list parameter without
 * them takes the list converters once the walk is over. */
bool setValToReg(BuildState& state, const char* text) {
    state.valtoreg = (c_ValToRegFcn_t)bindFunction(state.definitions, text);
    return state.valtoreg != NULL;
}

bool setRegToVal(BuildState& state, const char* text) {
    state.regtoval = (c_RegToValFcn_t)bindFunction(state.definitions, text);
    return state.regtoval != NULL;
}

bool setSwCheck(BuildState& state, const char* text) {
    c_Parameter_t* p = state.param;
    p->swcheck = (c_SwCheckFcn_t)bindFunction(state.definitions, text);
    if (p->swcheck == NULL) {
        PLOG(C_LOG_ERROR, "Parameter '%s' requires a missing function '%s' to check whether it is software-only.",
             p->codename, text[0] != '\0' ? text : "NULL");
        return false;
    }
    return true;
}

bool setUnit(BuildState& state, const char* text) {
    xmlNodePtr unit = findSectionChild(state.definitions, "UnitsOfMeasurement", text);
    uint8_t code = c_getUomCode(text);
    if (unit == NULL || code == 0xFF)
        return false;
    state.param->uom = code;
    applyUnitTexts(state.param, state.definitions, unit, text);
    return true;
}

bool setAccessType(BuildState& state, const char* text) {
    uint8_t code = c_getAccessTypeCode(text);
    if (code == 0xFF)
        return false;
    state.param->accesstype = code;
    return true;
}

struct AttributeRule {
    const char* name;
    bool (*set)(BuildState& state, const char* text);
};

/* Every attribute the walk applies. Any other ("codename", "idxmask", the
 * board's range and list attributes) is not part of the walk. */
const AttributeRule kAttributes[] = {
    {"type", setType},
    {"code", setCode},
    {"name", setName},
    {"regaddr", setRegaddr},
    {"regaddrexpr", setRegaddrExpression},
    {"mask", setMask},
    {"maskexpr", setMaskExpression},
    {"acqon", setFlag<&c_Parameter_t::acqon>},
    {"hvconfig", setFlag<&c_Parameter_t::hvconfig>},
    {"hvon", setFlag<&c_Parameter_t::hvon>},
    {"doubleres", setFlag<&c_Parameter_t::doubleres>},
    {"gen1hidden", setGen1Hidden},
    {"valtoreg", setValToReg},
    {"regtoval", setRegToVal},
    {"postset", setFunction<&c_Parameter_t::postset>},
    {"preset", setFunction<&c_Parameter_t::preset>},
    {"setfcn", setFunction<&c_Parameter_t::setfcn>},
    {"swcheck", setSwCheck},
    {"uom", setUnit},
    {"accesstype", setAccessType},
};

} // namespace

bool applyAttribute(BuildState& state, const char* name, const char* text) {
    for (const AttributeRule& rule : kAttributes) {
        if (strcmp(rule.name, name) == 0)
            return rule.set(state, text);
    }
    return true;
}

bool applyAttributes(BuildState& state, xmlNodePtr node) {
    for (xmlAttrPtr attribute = node->properties; attribute != NULL; attribute = attribute->next) {
        if (!applyAttribute(state, (const char*)attribute->name, attributeText(attribute)))
            return false;
    }
    return true;
}

} // namespace parambuild
