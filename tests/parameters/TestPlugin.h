/*
 * A stand-in for the plug-in of parameter functions, loaded by code name
 * exactly like the real one. Its functions follow what TestPluginState says
 * and count their calls, so that the tests can drive every bound-function
 * path of the value engine.
 */
#ifndef PARAMETERS_TEST_PLUGIN_H
#define PARAMETERS_TEST_PLUGIN_H

#include <stdint.h>

typedef struct TestPluginState_t {
    /* results the functions return */
    int presetResult;
    int postsetResult;
    int setResult;
    int rangeResult;
    int valuesResult;
    bool softwareOnly; /* answer of TestSwcheck */
    /* calls seen */
    int presetCalls;
    int postsetCalls;
    int setCalls;
    int swcheckCalls;
    double lastSetValue;
    double lastValToRegValue;
} TestPluginState_t;

#endif
