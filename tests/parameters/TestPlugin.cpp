/* Functions of the stand-in plug-in (see TestPlugin.h). */
#include "TestPlugin.h"

#include <math.h>

#include "ZarnParameters.h"

extern "C" {

__attribute__((visibility("default"))) TestPluginState_t TestPluginState = {};

__attribute__((visibility("default"))) int TestPreset(const c_ParamRef_t*) {
    ++TestPluginState.presetCalls;
    return TestPluginState.presetResult;
}

__attribute__((visibility("default"))) int TestPostset(const c_ParamRef_t*) {
    ++TestPluginState.postsetCalls;
    return TestPluginState.postsetResult;
}

/* Stores twice the value: the set function owns the value field. */
__attribute__((visibility("default"))) int TestSetDoubled(const c_ParamRef_t* ref, double value) {
    ++TestPluginState.setCalls;
    TestPluginState.lastSetValue = value;
    if (TestPluginState.setResult != 0)
        return TestPluginState.setResult;
    ref->param->value = 2 * value;
    return 0;
}

__attribute__((visibility("default"))) bool TestSwcheck(const c_ParamRef_t*) {
    ++TestPluginState.swcheckCalls;
    return TestPluginState.softwareOnly;
}

__attribute__((visibility("default"))) uint32_t TestValToRegTimesTen(const c_ParamRef_t*, double value) {
    TestPluginState.lastValToRegValue = value;
    return (uint32_t)lround(value * 10);
}

__attribute__((visibility("default"))) double TestRegToValTenth(const c_ParamRef_t*, uint32_t field) {
    return field / 10.0;
}

/* A dependent parameter: the board parameter of code 17 follows this one's
 * value plus one, set through the ordinary path. */
__attribute__((visibility("default"))) int TestPostsetFollow(const c_ParamRef_t* ref) {
    c_Parameter_t* follower = c_pfind(ref->board, 17);
    if (follower == NULL)
        return -30;
    return c_pset_nopref(ref->board, follower, ref->param->value + 1);
}

__attribute__((visibility("default"))) int TestRangeDef(c_Parameter_t* param) {
    param->min = 1;
    param->max = 9;
    param->incr = 2;
    param->value = param->preferred = 3;
    return TestPluginState.rangeResult;
}

__attribute__((visibility("default"))) int TestValuesDef(c_Parameter_t* param) {
    param->values[0].value = 10;
    param->values[0].regvalue = 1;
    param->values[1].value = 20;
    param->values[1].regvalue = 2;
    param->count = 2;
    param->value = param->preferred = 20;
    return TestPluginState.valuesResult;
}

/* A faulty definition function that claims more entries than a list holds. */
__attribute__((visibility("default"))) int TestValuesDefOverrun(c_Parameter_t* param) {
    param->count = 30;
    return 0;
}

} // extern "C"
