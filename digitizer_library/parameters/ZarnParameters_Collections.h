/*
 * ZarnParameters_Collections: what the library's own levels use of the
 * collections beside the exported calls of ZarnParameters.h. Not exported.
 */
#ifndef ZARN_PARAMETERS_COLLECTIONS_H
#define ZARN_PARAMETERS_COLLECTIONS_H

#include "ZarnParameters.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frees every parameter of the collection, then the collection. */
void _pcfreeall(c_ParamCollection_t* collection);
/* Element name of a category number, or NULL. */
const char* getParamCategoryName(int32_t category);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_PARAMETERS_COLLECTIONS_H */
