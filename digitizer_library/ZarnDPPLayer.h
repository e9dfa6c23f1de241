/*
 * Dravik: the exported interface of the digitizer library. Include this one
 * header; it gathers the module headers.
 */
#ifndef ZARN_DPP_LAYER_H
#define ZARN_DPP_LAYER_H
#include "ZarnTypes.h"
#endif
