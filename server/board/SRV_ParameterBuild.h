/*
 * SRV_ParameterBuild: build and free of the server parameter tree of the
 * open board (SRVParameters).
 *
 * The build reads "ServerParams.xml" and "ServerDefinitions.xml", creates the
 * collection of every object of the board, and binds each energy spectrum,
 * ROI, gain stabiliser, MCS spectrum and time-interval spectrum to the
 * parameters of its collection as soon as that collection exists. The tree
 * must be freed before the digitizer record (its simple parameters borrow
 * the library's).
 */
#ifndef SRV_PARAMETER_BUILD_H
#define SRV_PARAMETER_BUILD_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Slots of the parameter indexes map. */
#define SRV_PARAMETER_INDEXES_SLOTS 1024

/* Builds the whole tree of the board record from its digitizer record: 0, or
 * -31 (SRV_ERR_SERVER_PARAMETERS) after a logged failure, with everything
 * built so far freed. Complex parameters write their defaults into the board
 * while they are created. */
SRVStatus_t SRV_InitServerParameters(SRVBoard_t* board);
/* The collection of one object of a category (element name of
 * ServerDefinitions.xml / ServerParams.xml), from the ServerParams.xml
 * document: every "Parameter" the board supports, entered into the parameter
 * indexes map. NULL after a logged failure. */
c_ParamCollection_t* SRV_CreateParameterCollection(SRVBoard_t* board, xmlDocPtr paramsDoc, const char* category,
                                                   const uint32_t* indexVector, int32_t level);
/* Frees the whole tree (collections cleared, counts of the built objects set
 * to 0) and the parameter indexes map, and the per-channel records the build
 * hands out (last-waveform copy) or that hang off the channels (list mode's
 * buffers and files, through SRV_List). Call it before the digitizer record
 * is freed or reopened. */
void SRV_FreeServerParameters(SRVBoard_t* board);
/* Frees every server parameter of the collection, then the collection. NULL
 * is a no-op. */
void SRV_FreeParameterCollection(c_ParamCollection_t* collection);

#ifdef __cplusplus
}
#endif

#endif /* SRV_PARAMETER_BUILD_H */
