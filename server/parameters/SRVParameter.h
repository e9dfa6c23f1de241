/*
 * SRVParameter: one server parameter and the list type that holds the values
 * and bindings of complex parameters.
 *
 * A server parameter is one of three kinds:
 *   - simple: it stands for one live library parameter of the open digitizer,
 *     found by its library code name; reading and writing it reads and writes
 *     that parameter;
 *   - complex: it owns a list of allowed values, each with one or more
 *     bindings {library parameter, value}; choosing a value writes every
 *     binding of that value, in order;
 *   - server-only: a library parameter record built without a digitizer from
 *     the server's own definition; it lives in software only and belongs to
 *     the server parameter.
 *
 * The library parameters of simple parameters and of bindings belong to the
 * digitizer record: every server parameter must be freed before the
 * digitizer record is freed or reopened. Nothing here takes a lock: callers
 * hold the board lock (or run before the board thread exists).
 */
#ifndef SRV_PARAMETER_H
#define SRV_PARAMETER_H

#include <stdint.h>

#include "ZarnDPPLayer.h"
#include "ZarnParameters.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ lists */

/* A doubly linked list in which every node also points to the first and the
 * last node. A list is held by its first node; an empty list is a zeroed
 * node. Nodes do not own their elements. */
typedef struct List_t {
    struct List_t* next;
    struct List_t* prev;
    struct List_t* last;
    struct List_t* first;
    void* data;
} List_t;

/* A zeroed node (an empty list), or NULL after logging. */
List_t* List_create(void);
/* Appends element: 0; -1 NULL element, -2 NULL list, -3 out of memory. */
int List_add(void* element, List_t* list);
/* Frees every node (never the elements) and sets *list to NULL. */
void List_free(List_t** list);
/* Stores node as the last node in every node of the list. */
void List_setLast(List_t* list, List_t* node);

/* ------------------------------------------------------ server parameters */

/* Kinds of a server parameter. */
enum {
    SRV_PARAM_TYPE_UNDEFINED = -1,
    SRV_PARAM_TYPE_SIMPLE = 0,
    SRV_PARAM_TYPE_COMPLEX = 1,
    SRV_PARAM_TYPE_SERVER_ONLY = 2
};

/* Slots of the owner index vector; unused slots hold SRV_PARAM_NO_INDEX. */
#define SRV_PARAM_INDEX_SLOTS 4
#define SRV_PARAM_NO_INDEX    0x4FFFFFFFu
/* The library's text size: 47 characters and the terminator. */
#define SRV_PARAM_TEXT_SIZE 48

/* One binding of a complex parameter's value: the live library parameter
 * (borrowed from the digitizer record) and the value written into it. */
typedef struct SRVParamBinding_t {
    c_Parameter_t* utilParam;
    double value;
} SRVParamBinding_t;

/* One allowed value of a complex parameter. */
typedef struct SRVParamValue_t {
    List_t* utilParamValueBindings; /* of SRVParamBinding_t, at least one */
    double code;                    /* the value's code in its value category */
} SRVParamValue_t;

typedef struct SRVParameter_t {
    /* simple: the live library parameter (borrowed); server-only: the library
     * parameter built for it (owned); complex: NULL */
    c_Parameter_t* utilParam;
    /* complex: the allowed values (SRVParamValue_t) in document order */
    List_t* paramValueList;
    /* simple and server-only: the library parameter's value at creation and
     * after every successful set; complex: the value chosen last */
    double value;
    int32_t code;           /* server code; -1 until read */
    int32_t type;           /* SRV_PARAM_TYPE_* */
    uint32_t valueCategory; /* code of the value-list category */
    char name[SRV_PARAM_TEXT_SIZE];
    char codename[SRV_PARAM_TEXT_SIZE];
    uint32_t index[SRV_PARAM_INDEX_SLOTS]; /* owner's index at each level */
    int32_t level;                         /* slots 0 to level are meaningful */
} SRVParameter_t;

/*
 * Creates the server parameter of a "Parameter" element of ServerParams.xml
 * from it and its definition in ServerDefinitions.xml. indexVector (four
 * slots, may be NULL) holds the owner's index at each level; slots 0 to level
 * are copied. A complex parameter writes its default value into the board.
 * NULL after a logged failure.
 */
SRVParameter_t* SRVParameter_Create(c_Digitizer_t* dig, xmlNodePtr node, const uint32_t* indexVector, int32_t level);
/* Builds the value list of a complex parameter from the element that carries
 * its utilparam attribute and applies its default: 0, or negative after a
 * logged failure. */
int SRVParameter_CreateComplex(c_Digitizer_t* dig, xmlNodePtr element, SRVParameter_t* param);
/* The live library parameter of that library code name that belongs to the
 * parameter's owner (its index and level are used), or NULL. */
c_Parameter_t* SRVParameter_FindUtilParam(c_Digitizer_t* dig, const char* libCodename, const SRVParameter_t* param);
/* 0; -1 dig NULL or the library read failed; -2 param NULL; -3 unknown kind. */
int SRVParameter_GetValue(c_Digitizer_t* dig, SRVParameter_t* param, double* value);
/* 0; -1 dig NULL, a value that is not in the list, or the library write
 * failed; -2 param NULL or a binding failed; -3 unknown kind. */
int SRVParameter_SetValue(c_Digitizer_t* dig, SRVParameter_t* param, double value);
/* Frees the parameter with its value list and bindings, and the library
 * parameter of a server-only one. NULL is a no-op. */
void SRVParameter_Free(SRVParameter_t* param);
/* The kind of the parameter, or -1 for NULL. */
int32_t SRVParameter_GetType(const SRVParameter_t* param);

#ifdef __cplusplus
}
#endif

#endif /* SRV_PARAMETER_H */
