/*
 * ZarnParameters: the parameter model of the digitizer library.
 *
 * A parameter (c_Parameter_t) is built from its definition element in
 * "Definitions.xml" and the element that names it in a board definition file.
 * Parameters of one category and one instance are kept in a collection
 * indexed by code. The value engine turns parameter values into register
 * accesses and back.
 *
 * Nothing here takes a lock: the caller serialises every call on one
 * digitizer record.
 */
#ifndef ZARN_PARAMETERS_H
#define ZARN_PARAMETERS_H

#include <stdbool.h>
#include <stdint.h>

#include "ZarnTypes.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Event records defined by the digitizer-record header (ZarnRecords.h) and
 * used here only through pointers; their definitions carry these tags.
 * c_Digitizer_t is declared in ZarnTypes.h. */
typedef struct c_DPPEvent_t c_DPPEvent_t;
typedef struct c_Trace_t c_Trace_t;

/* Texts of the parameter model: 47 characters and the terminator. */
#define C_PARAM_TEXT_SIZE 48
/* At most this many allowed values in a list parameter. */
#define C_PARAM_MAX_VALUES 25
/* Instance index of a collection that has none (every element applies). */
#define C_PARAM_NO_INDEX 0x3FFFFFFFu
/* Register address of a parameter the board cannot reach. */
#define C_PARAM_UNREACHABLE_ADDRESS 0xFFFFu
/* Mask of a parameter that covers the whole register. */
#define C_PARAM_FULL_MASK 0xFFFFFFFFu

/* Parameter types (codes of ParameterTypes). */
#define C_PARAM_TYPE_RANGE 0
#define C_PARAM_TYPE_LIST  1

/* Flags of GENERIC_SetParam: skip the access, acquisition or high-voltage
 * test. Acquisition control sets its own parameters with all three. */
#define C_SETPARAM_SKIP_ACCESS      0x1u
#define C_SETPARAM_SKIP_ACQUISITION 0x2u
#define C_SETPARAM_SKIP_HV          0x4u

typedef struct c_Parameter_t c_Parameter_t;

/* One allowed value of a list parameter. */
typedef struct c_ParamValue_t {
    double value;      /* the code of the value element in ParameterValues/<category> */
    uint32_t regvalue; /* what the register field holds for this value */
    char name[C_PARAM_TEXT_SIZE];
    char codename[C_PARAM_TEXT_SIZE];
} c_ParamValue_t;

/* {digitizer record, parameter}: built by the caller of a bound function for
 * that one call. */
typedef struct c_ParamRef_t {
    c_Digitizer_t* board;
    c_Parameter_t* param;
} c_ParamRef_t;

/* Functions bound by code name from the definitions (NULL: not bound). */
typedef uint32_t (*c_ValToRegFcn_t)(const c_ParamRef_t* ref, double value);
typedef double (*c_RegToValFcn_t)(const c_ParamRef_t* ref, uint32_t field);
typedef int (*c_PresetFcn_t)(const c_ParamRef_t* ref);
typedef int (*c_PostsetFcn_t)(const c_ParamRef_t* ref);
typedef bool (*c_SwCheckFcn_t)(const c_ParamRef_t* ref); /* true: software-only now */
typedef int (*c_SetFcn_t)(const c_ParamRef_t* ref, double value);
/* Called once while the parameter is built. */
typedef int (*c_RangeDefFcn_t)(c_Parameter_t* param);
typedef int (*c_ValuesDefFcn_t)(c_Parameter_t* param);

/* One configurable setting of a board (or a server-only setting). One
 * allocation; owns no memory; freed with c_pdelete. */
struct c_Parameter_t {
    uint32_t regaddr;  /* 0: software-only; 0xFFFF: unreachable */
    double value;      /* last value set or read back */
    double preferred;  /* board default, then every value given to c_pset */
    uint8_t leaveAsIs; /* default "LEAVE_AS_IS": the board keeps its own setting */
    c_ValToRegFcn_t valtoreg;
    c_RegToValFcn_t regtoval;
    double min, max, incr; /* range; incr 0: no step */
    uint32_t mask;         /* field bits; 0xFFFFFFFF: the whole register */
    c_PostsetFcn_t postset;
    c_PresetFcn_t preset;
    c_SwCheckFcn_t swcheck;
    c_SetFcn_t setfcn;
    int32_t type; /* 0 range, 1 list */
    c_ParamValue_t values[C_PARAM_MAX_VALUES];
    uint16_t count; /* used entries of values */
    char name[C_PARAM_TEXT_SIZE];
    char codename[C_PARAM_TEXT_SIZE];
    uint8_t acqon;      /* may be set while acquisition runs */
    uint8_t hvconfig;   /* high-voltage configuration parameter */
    uint8_t hvon;       /* may be set while its high-voltage channel is on */
    int32_t gen1hidden; /* stored, not used by the library */
    uint8_t doubleres;  /* stored, not used by the library */
    uint8_t accesstype; /* access-type code */
    uint8_t uom;        /* unit code */
    char unitSymbol[C_PARAM_TEXT_SIZE];
    char unitBase[C_PARAM_TEXT_SIZE];
    char unitName[C_PARAM_TEXT_SIZE];
    int32_t unitPower;
    int32_t code;
    int32_t listCategory;
    uint8_t index;   /* low byte of the instance index (0xFF without one) */
    void* owner;     /* record holding the parameter's collection; NULL for server-only */
    void* auxiliary; /* belongs to the plug-in's functions */
};

/* The parameters of one category and one instance, one slot per code from
 * firstCode to lastCode. Owns its slot array, not the parameters. */
typedef struct c_ParamCollection_t {
    c_Parameter_t** items;
    int32_t count;
    int32_t firstCode;
    int32_t lastCode;
} c_ParamCollection_t;

/* Parameter categories: element names "BoardParameters", "ChannelParameters",
 * "LVDSGroupParameters", "VirtualTraceParameters", "HVChannelParameters",
 * "HVRangeParameters", "MonOutParameters", "GroupParameters",
 * "VGAParameters". */
typedef enum c_ParamCategory_t {
    PARAM_CATEGORY_UNSUPPORTED = -1,
    PARAM_CATEGORY_BOARD = 0,
    PARAM_CATEGORY_CHANNEL = 1,
    PARAM_CATEGORY_LVDSGROUP = 2,
    PARAM_CATEGORY_VIRTUALTRACE = 3,
    PARAM_CATEGORY_HVCHANNEL = 4,
    PARAM_CATEGORY_HVRANGE = 5,
    PARAM_CATEGORY_MONOUT = 6,
    PARAM_CATEGORY_GROUP = 7,
    PARAM_CATEGORY_VGA = 8
} c_ParamCategory_t;
#define PARAM_CATEGORY_COUNT 9

/* ------------------------------------------------------ parameter record */

DRAVIK_API c_Parameter_t* c_pnew(void* owner);
/* owner may be NULL (server-only parameters); index C_PARAM_NO_INDEX for a
 * collection without instance index. NULL after logging. */
DRAVIK_API c_Parameter_t* c_pfromnode(void* owner, xmlNodePtr boardNode, xmlNodePtr defNode, uint32_t index);
DRAVIK_API c_Parameter_t* c_pfromDefnode(void* owner, xmlNodePtr defNode, uint32_t index);
DRAVIK_API void c_pdelete(c_Parameter_t* param);
/* The definition element "<prefix>/<category element>/<codename>" of a board
 * element, below the document's root; NULL after logging. */
DRAVIK_API xmlNodePtr c_findDefinitionsNodeFromBoardNodeExtended(xmlNodePtr boardNode, xmlDocPtr document,
                                                                 const char* prefix);
DRAVIK_API xmlNodePtr c_findDefinitionsNodeFromBoardNode(xmlNodePtr boardNode);
/* Whether a board element applies to an instance index ("idxmask"). */
DRAVIK_API bool c_pcheckidxmask(xmlNodePtr boardNode, uint32_t index);

/* ----------------------------------------------------------- collections */

DRAVIK_API c_ParamCollection_t* _pcnew(int32_t size, int32_t firstCode);
/* 0, or -2 NULL collection, -3 full, -4 NULL parameter, -5 code outside the
 * range, -6 code already taken. */
DRAVIK_API int _pcinsert(c_ParamCollection_t* collection, c_Parameter_t* param, int32_t code);
DRAVIK_API c_Parameter_t* _pretrieve(const c_ParamCollection_t* collection, int32_t code);
DRAVIK_API void _pcfree(c_ParamCollection_t* collection); /* not the parameters; NULL ignored */

/* Category number of an element name, or -1 after logging. */
DRAVIK_API int32_t getParamCategoryFromName(const char* elementName);

DRAVIK_API c_ParamCollection_t* c_pcfromdoc(void* owner, xmlDocPtr boardDocument, const char* categoryElementName,
                                            uint32_t index);
/* The parsed board definition document of the board (freed by the caller
 * with c_xml_freedoc), or NULL. */
DRAVIK_API xmlDocPtr c_findBoardDefinitionFile(c_Digitizer_t* digitizer);
/* 0, or -1 to -10 (the loader's own numbering; callers turn it into -26). */
DRAVIK_API int GENERIC_LoadParameters(c_Digitizer_t* digitizer);

/* ---------------------------------------------------------- value engine */

DRAVIK_API int c_pset(c_Digitizer_t* digitizer, c_Parameter_t* param, double value);
DRAVIK_API int c_pset_nopref(c_Digitizer_t* digitizer, c_Parameter_t* param, double value);
DRAVIK_API int c_pget(c_Digitizer_t* digitizer, c_Parameter_t* param, double* value);
DRAVIK_API int GENERIC_SetParam(c_Digitizer_t* digitizer, c_Parameter_t* param, double value, uint32_t flags);
DRAVIK_API int GENERIC_SetParamValue(c_Digitizer_t* digitizer, c_Parameter_t* param, double value);
DRAVIK_API int GENERIC_GetParam(c_Digitizer_t* digitizer, c_Parameter_t* param, double* value);
DRAVIK_API double GENERIC_ClampParamValue(c_Digitizer_t* digitizer, c_Parameter_t* param, double value);
DRAVIK_API uint32_t GENERIC_ListValToReg(const c_ParamRef_t* ref, double value);
DRAVIK_API double GENERIC_ListRegToVal(const c_ParamRef_t* ref, uint32_t field);

/* ------------------------------------------------------------- registers */

DRAVIK_API int c_rwrite(c_Digitizer_t* digitizer, uint32_t address, uint32_t value);
DRAVIK_API int c_rread(c_Digitizer_t* digitizer, uint32_t address, uint32_t* value);
DRAVIK_API int GENERIC_WriteRegister(c_Digitizer_t* digitizer, uint32_t address, uint32_t value);
DRAVIK_API int GENERIC_ReadRegister(c_Digitizer_t* digitizer, uint32_t address, uint32_t* value);
/* Register fields addressed by a path "ADDR", "ADDR/MASK" or
 * "ADDR/START-END" (hexadecimal address and mask, decimal bits). */
DRAVIK_API int c_fvset(c_Digitizer_t* digitizer, const char* path, const char* hexValue);
/* hexOut: at least 9 characters. */
DRAVIK_API int c_fvget(c_Digitizer_t* digitizer, const char* path, char* hexOut);
DRAVIK_API int GENERIC_ParseFreeValuePath(const char* path, uint32_t* address, uint32_t* mask, uint8_t* shift);

/* ---------------------------------------------------------------- lookups */

DRAVIK_API c_Parameter_t* c_pfind(c_Digitizer_t* digitizer, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindg(c_Digitizer_t* digitizer, int32_t group, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindc(c_Digitizer_t* digitizer, int32_t channel, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindlg(c_Digitizer_t* digitizer, int32_t lvdsGroup, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindvt(c_Digitizer_t* digitizer, int32_t trace, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindhvc(c_Digitizer_t* digitizer, int32_t hvChannel, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindhvr(c_Digitizer_t* digitizer, int32_t hvChannel, int32_t range, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindmo(c_Digitizer_t* digitizer, int32_t monOut, int32_t code);
DRAVIK_API c_Parameter_t* c_pfindvga(c_Digitizer_t* digitizer, int32_t vga, int32_t code);
/* Category whose code range holds the code, or -1. */
DRAVIK_API int32_t c_getParamCategory(c_Digitizer_t* digitizer, int32_t code);

/* ------------------------------------------------------------ services */

DRAVIK_API int c_calcTriangParams(c_Digitizer_t* digitizer, int32_t channel, int32_t* slowNorm, int32_t* fastNorm,
                                  int32_t* slowShift, int32_t* fastShift);
/* Analog (0-2) or digital (3-8) trace slot of an event's waveform, or NULL. */
DRAVIK_API c_Trace_t* c_atfind(const c_DPPEvent_t* event, int32_t trace);
DRAVIK_API c_Trace_t* c_dtfind(const c_DPPEvent_t* event, int32_t trace);
/* Name of a library probe code; name must hold the board layer's probe name. */
DRAVIK_API int c_pgetn(int32_t probe, char* name);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_PARAMETERS_H */
