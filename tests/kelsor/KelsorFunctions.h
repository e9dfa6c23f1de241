/* The plug-in's functions, found by code name the way the library binds
 * them (the utility lookup opens libKelsor.so from $ZARN_PLUGIN_DIR). */
#ifndef KELSOR_FUNCTIONS_H
#define KELSOR_FUNCTIONS_H

#include <gtest/gtest.h>

#include "ZarnParameters.h"
#include "ZarnUtility.h"

namespace kelsortest {

template <typename Fn>
Fn fn(const char* codeName) {
    Fn function = reinterpret_cast<Fn>(c_xml_getfunctionpointerfromcodename(NULL, codeName));
    EXPECT_NE(function, nullptr) << codeName;
    return function;
}

inline c_ValToRegFcn_t valToReg(const char* codeName) { return fn<c_ValToRegFcn_t>(codeName); }
inline c_RegToValFcn_t regToVal(const char* codeName) { return fn<c_RegToValFcn_t>(codeName); }
inline c_PostsetFcn_t hook(const char* codeName) { return fn<c_PostsetFcn_t>(codeName); }
inline c_SwCheckFcn_t swCheck(const char* codeName) { return fn<c_SwCheckFcn_t>(codeName); }
inline c_RangeDefFcn_t definition(const char* codeName) { return fn<c_RangeDefFcn_t>(codeName); }

} // namespace kelsortest

#endif
