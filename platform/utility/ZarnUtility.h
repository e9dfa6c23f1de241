/*
 * ZarnUtility: the services every deliverable builds on.
 *
 * Memory, per-module log files, XML documents (libxml2), the plug-in function
 * lookup by code name, integer expressions, maps, path macros, directories,
 * sockets and the packet layer, threads and locks, option parsing, time and
 * random numbers.
 *
 * Conventions: functions that return an int give 0 on success and a non-zero
 * code otherwise; functions that return a pointer give NULL on failure.
 * Nothing here throws.
 */
#ifndef ZARN_UTILITY_H
#define ZARN_UTILITY_H

#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <libxml/tree.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZARN_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZARN_PRINTF_LIKE(fmt, args)
#endif

/* ------------------------------------------------------------------ memory */

/* NULL on failure; a request of 0 bytes gives a usable (freeable) pointer. */
void* c_malloc(size_t size);
void* c_calloc(size_t count, size_t size); /* zero-filled */
void* c_realloc(void* block, size_t size);
char* c_strdup(const char* text);
void c_free(void* block); /* accepts NULL */
/* The size requested for a block of c_malloc/c_calloc/c_realloc (0 for NULL). */
size_t c_malloc_size(const void* block);

/* ----------------------------------------------------------------- logging */

/* The log record of one source module: every message of that module goes to
 * its log file. */
typedef struct c_LogModule_t {
    const char* logFile;    /* e.g. "DravikLog.txt" */
    const char* sourceFile; /* e.g. "ZarnTypes" */
} c_LogModule_t;

/* Levels of a message. */
enum { C_LOG_ERROR = 1, C_LOG_WARNING = 2, C_LOG_INFO = 4, C_LOG_DETAIL = 8 };

/*
 * Appends one line to the module's log file: time, level, source file and
 * line, then the formatted message. Messages above the threshold
 * (environment variable ZARN_LOG_LEVEL: 1, 2, 4 or 8; default 4) are dropped.
 * The files go to the folder named by ZARN_LOG_DIR (created when missing),
 * else the current folder.
 */
void c_lprintf(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format, ...)
    ZARN_PRINTF_LIKE(4, 5);
/* As c_lprintf with an argument list; 0 on success (a filtered-out message is
 * a success), non-zero when the message could not be written. */
int c_lvprintf(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format, va_list args);
/* Errors and warnings that repeat are written 5 times in 10 s at most, and
 * 32 lines in 10 s at most from the same line of the same module, whatever
 * their texts; the repeats beyond are counted and the count, with the last text held back, written
 * once the 10 s are over. c_lflushrepeats writes the counts not yet written
 * now (it also runs at exit); c_lsweeprepeats writes those whose 10 s are
 * over, for a loop that wakes on its own to call, so that a count comes on
 * time when its call site falls silent. */
void c_lflushrepeats(void);
void c_lsweeprepeats(void);

/* --------------------------------------------------------------------- XML */

/* A node set: count nodes in document order. Free it with c_xml_freenodeset. */
typedef struct c_xml_nodeset_t {
    int count;
    xmlNodePtr* nodes;
} c_xml_nodeset_t;

xmlDocPtr c_xml_newfile(const char* path); /* NULL when unreadable or malformed */
void c_xml_freedoc(xmlDocPtr document);    /* accepts NULL */
/* The path the document was read from (owned by the document), or NULL. */
const char* c_xml_getpath(xmlDocPtr document);
/* The version text of the XML library in use, e.g. "20914". */
const char* c_xml_parserversion(void);
xmlNodePtr c_xml_getrootnode(xmlDocPtr document);

/* XPath 1.0 query on the document; NULL when the query is invalid or selects
 * no node. */
c_xml_nodeset_t* c_xml_getnodeset(xmlDocPtr document, const char* xpath);
void c_xml_freenodeset(c_xml_nodeset_t* set); /* accepts NULL */
xmlNodePtr c_xml_getfirstnodefromxpathquery(xmlDocPtr document, const char* xpath);

/* The first child element of parent with that name, or NULL. */
xmlNodePtr c_xml_getfirstchildrenelementfromname(xmlNodePtr parent, const char* name);
/* The first element below parent (depth first, document order) that matches
 * the name path "a/b/c": an element a anywhere below parent, with a child b,
 * with a child c. A single name matches any descendant of that name. */
xmlNodePtr c_xml_getfirstdescendantelementfromname(xmlNodePtr parent, const char* namePath);

/* Value of the element's attribute, owned by the element (the caller never
 * frees it), or NULL when absent. With warnIfMissing non-zero a missing
 * attribute is logged as a warning. */
const char* c_xml_getattributevalue(xmlNodePtr element, const char* name, int warnIfMissing);

/*
 * Code readers: the code of an element of the definitions sections. An
 * element's code is its attribute "code" or, without one, the text of its
 * child element "code"; numbers are decimal, 0x hexadecimal or floating.
 * 0 and the code, non-zero when the element has no readable code.
 */
int c_xml_getcodefromnode(xmlNodePtr element, double* code);
int c_xml_getcodefromnodechild(xmlNodePtr element, double* code);
/* The code of the element named codeName below the root's descendant found by
 * sectionPath (a name path as above, e.g. "ParameterValues/BOOLEANS"). */
int c_xml_getcodefromcodename(xmlDocPtr document, const char* sectionPath, const char* codeName, double* code);

/* snprintf that reports truncation: the length written, negative when the
 * text could not be formed or did not fit. */
int c_xml_snprintf(char* buffer, size_t size, const char* format, ...) ZARN_PRINTF_LIKE(3, 4);

/*
 * The function that the plug-in of parameter functions exports under the
 * code name, or NULL. The plug-in is "libKelsor.so" in the folder named by the
 * environment variable ZARN_PLUGIN_DIR, else in the build's library folder;
 * it is opened once per process. The document is the definitions document
 * the code name comes from (accepted for every lookup, even NULL).
 */
void* c_xml_getfunctionpointerfromcodename(xmlDocPtr document, const char* codeName);

/* -------------------------------------------------------------- expressions */

/*
 * Evaluates an integer expression, as used by the definition files for
 * register addresses, masks and index masks. 0 and the value in *result;
 * non-zero for an invalid expression (syntax error, division by zero,
 * unknown name). Syntax: see ZarnExpression.cpp.
 */
int c_ee_modifyAndEvaluateExpression(const char* text, uint32_t instanceIndex, int64_t* result);

/* ------------------------------------------------------------------- maps */

struct c_map_node_t;
/* A map from text keys to copied values. Zero-initialise, then _map_init. */
typedef struct c_map_t {
    struct c_map_node_t** buckets;
    uint32_t slots;
    uint32_t count;
} c_map_t;

int _map_init(c_map_t* map, uint32_t slots);
/* Copies size bytes of value under key, replacing an existing entry. */
int _map_set(c_map_t* map, const char* key, const void* value, size_t size);
/* Pointer to the stored copy, or NULL. */
void* _map_get(c_map_t* map, const char* key);
void _map_deinit(c_map_t* map); /* frees every entry; the map can be re-initialised */

/* ----------------------------------------------------- paths and folders */

/* New text with every "$(NAME)" replaced by the environment variable NAME (an
 * unset variable gives an empty text); NULL on failure. The caller frees it
 * with c_free. */
char* c_getExpandedString(const char* text);
int c_mkdirp(const char* path); /* creates the folder and missing parents; an existing one is fine */
int c_chdir(const char* path);
/* The folder part of path into folder (size bytes), as dirname(3) gives it:
 * "a/b/c" -> "a/b", "c" -> ".", "/c" -> "/". 0, or an errno code (EINVAL,
 * ENAMETOOLONG when it does not fit). */
int c_dirname(const char* path, char* folder, size_t size);

typedef struct c_dir_t c_dir_t;
c_dir_t* c_opendir(const char* path);
/* Name of the next entry ("." and ".." are skipped), or NULL at the end. The
 * text is valid until the next call. */
const char* c_readdir(c_dir_t* dir);
void c_closedir(c_dir_t* dir); /* accepts NULL */

/* ----------------------------------------------------------------- sockets */

typedef struct c_socket_t c_socket_t;

int c_socket_init(void);     /* nothing to do on this platform; 0 */
void c_socket_cleanup(void); /* likewise */
/* A listening TCP socket on the IPv4 address (host order; 0: every interface)
 * and *port (0: any free port); *port holds the bound port afterwards. */
int c_socket_server_init(c_socket_t** server, uint32_t bindAddress, uint16_t* port);
/* Blocks until a client connects. */
int c_socket_server_accept(c_socket_t* server, c_socket_t** client);
int c_socket_client_connect(c_socket_t** client, const char* host, uint16_t port);
/* Shuts the connection down and frees the record; accepts NULL. */
void c_socket_delete(c_socket_t* socket);
/* The descriptor, for select(). */
int c_socket_fd(const c_socket_t* socket);
/* Time-out of one whole c_recv_packet, header and payload, in ms (0: none). */
int c_socket_set_recv_timeout(c_socket_t* socket, uint32_t milliseconds);
/* Time-out of one whole c_send, in ms (0: none). */
int c_socket_set_send_timeout(c_socket_t* socket, uint32_t milliseconds);

/* --------------------------------------------------------- packet layer */

/*
 * Wire format (little-endian): an 8-byte header {u32 size of the whole
 * packet, u16 flags, u16 command} and the payload.
 */
enum { C_PACKET_HEADER_SIZE = 8 };
#define C_PACKET_MAX_SIZE (16u * 1024u * 1024u)
/* The code a failed c_recv_packet leaves in *command. A well-formed packet may
 * carry it too, so a failure is told by the NULL return, never by the code. */
#define C_PACKET_RECV_FAILED 0xFFFFu

/* A new 8-byte buffer holding a header with size 8; *size := 8. */
void* c_createheader(uint16_t flags, uint16_t command, uint32_t* size);

/*
 * serialize_<type>(source, count, buffer, size): appends count values; returns
 * the (possibly moved) buffer with the header's size field and *size updated,
 * or NULL (the buffer is then freed). The _array forms append a u32 count
 * first. serialize_char appends count raw bytes (a fixed text char[N] is
 * written with count N).
 */
#define ZARN_DECLARE_SERIALIZE(name, type)                                                                             \
    void* serialize_##name(const type* source, uint32_t count, void* buffer, uint32_t* size);                          \
    void* serialize_##name##_array(const type* source, uint32_t count, void* buffer, uint32_t* size);                  \
    const void* deserialize_##name(type* destination, uint32_t count, const void* position, const void* end);          \
    const void* deserialize_##name##_array(type* destination, uint32_t maximum, uint32_t* count, const void* position, \
                                           const void* end);
ZARN_DECLARE_SERIALIZE(i8, int8_t)
ZARN_DECLARE_SERIALIZE(u8, uint8_t)
ZARN_DECLARE_SERIALIZE(i16, int16_t)
ZARN_DECLARE_SERIALIZE(u16, uint16_t)
ZARN_DECLARE_SERIALIZE(i32, int32_t)
ZARN_DECLARE_SERIALIZE(u32, uint32_t)
ZARN_DECLARE_SERIALIZE(i64, int64_t)
ZARN_DECLARE_SERIALIZE(u64, uint64_t)
ZARN_DECLARE_SERIALIZE(f32, float)
ZARN_DECLARE_SERIALIZE(f64, double)
ZARN_DECLARE_SERIALIZE(char, char)
#undef ZARN_DECLARE_SERIALIZE
/*
 * deserialize_<type>(destination, count, position, end): reads count values at
 * position; returns the advanced position, or NULL when fewer bytes than
 * needed lie before end (or position is NULL, so calls can be chained). The
 * _array forms read a u32 count and fail when it exceeds maximum.
 *
 * A fixed text char[N]: reads N bytes and keeps at most N-1 characters, so
 * destination is always terminated.
 */
const void* deserialize_text(char* destination, uint32_t n, const void* position, const void* end);

/*
 * Receives one whole packet. Returns the payload (size - 8 bytes, freed by the
 * caller with c_free; a usable pointer even when empty), *command (any u16,
 * 0xFFFF included) and *payloadSize. On failure (peer closed or erred before
 * the end, size below 8 or above 16 MiB, time-out) returns NULL, with
 * *command = 0xFFFF and *payloadSize = 0.
 */
void* c_recv_packet(c_socket_t* socket, uint16_t* command, uint32_t* payloadSize);
/* Sends size bytes; the number sent (less than size on failure or when the
 * socket's send time-out passed before the last byte went out). Never raises
 * SIGPIPE. */
int64_t c_send(c_socket_t* socket, const void* data, uint32_t size);

/* ----------------------------------------------------- threads and locks */

typedef struct c_thread_t c_thread_t;
typedef void* (*c_thread_routine_t)(void* argument);

int c_thread_create(c_thread_t** thread, c_thread_routine_t routine, void* argument);
/* 0 when the thread ended within the time (its result in *result, which may be
 * NULL; the record is freed); non-zero on time-out (the thread goes on). */
int c_thread_timedjoin(c_thread_t* thread, void** result, uint32_t milliseconds);
/* Pins the thread to the processors of the mask (bit n: processor n). */
int c_thread_setaffinity(c_thread_t* thread, uint64_t mask);
int c_getNCPU(void); /* processors online */

/* Ticket lock: waiters are served in the order they arrived. */
typedef struct c_ticket_t {
    pthread_mutex_t mutex;
    pthread_cond_t turn;
    uint64_t next;    /* ticket of the next arrival */
    uint64_t serving; /* ticket being served */
} c_ticket_t;
int c_ticket_init(c_ticket_t* lock);
int c_ticket_lock(c_ticket_t* lock);
int c_ticket_unlock(c_ticket_t* lock); /* EPERM when nobody holds the lock */
int c_ticket_delete(c_ticket_t* lock);

typedef struct c_mutex_t {
    pthread_mutex_t mutex;
} c_mutex_t;
int c_mutex_init(c_mutex_t* mutex);
int c_mutex_lock(c_mutex_t* mutex);
int c_mutex_unlock(c_mutex_t* mutex);
int c_mutex_destroy(c_mutex_t* mutex);

#define C_WAIT_FOREVER 0xFFFFFFFFu
typedef struct c_semaphore_t {
    pthread_mutex_t mutex;
    pthread_cond_t posted;
    uint32_t value;
} c_semaphore_t;
int c_semaphore_init(c_semaphore_t* semaphore, uint32_t initialValue);
/* 0 when taken; non-zero on time-out. C_WAIT_FOREVER waits without limit. */
int c_semaphore_wait(c_semaphore_t* semaphore, uint32_t milliseconds);
int c_semaphore_post(c_semaphore_t* semaphore);
int c_semaphore_destroy(c_semaphore_t* semaphore);

/* A condition variable with its own lock. */
typedef struct c_condition_t {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
} c_condition_t;
int c_condition_init(c_condition_t* condition);
int c_condition_lock(c_condition_t* condition);
int c_condition_unlock(c_condition_t* condition);
/* Called with the lock held: 0 when woken, non-zero (ETIMEDOUT) on time-out.
 * C_WAIT_FOREVER waits without limit. */
int c_condition_wait(c_condition_t* condition, uint32_t milliseconds);
int c_condition_signal(c_condition_t* condition);
int c_condition_broadcast(c_condition_t* condition);
int c_condition_destroy(c_condition_t* condition);

/* ------------------------------------------------------- option parsing */

/* State of one option scan; start from C_GETOPT_INIT. */
typedef struct c_getopt_t {
    int optind;   /* index of the next argument */
    int optopt;   /* the option character of the last error */
    char* optarg; /* argument of the last option that takes one */
    int position; /* within a group of options ("-ab") */
} c_getopt_t;
#define C_GETOPT_INIT \
    { 1, 0, NULL, 0 }
/*
 * getopt(3) over argv with state: returns the next option character, -1 at
 * the first non-option argument or "--", and '?' for an unknown option or a
 * missing argument (state->optopt names the option character).
 */
int c_mp_getopt(int argc, char* const argv[], const char* optionText, c_getopt_t* state);

/* ------------------------------------------------------ time and chance */

uint64_t c_get_time(void); /* monotonic milliseconds */
/* Local date and time as the number YYYYMMDDhhmmss (below 10^14). */
uint64_t c_getCurrentTimeRepresentation(void);
void c_srand(uint32_t seed);
double c_rand(void); /* uniform in [0, 1) */
void c_sleep(uint32_t milliseconds);
/* Number of trailing zero bits of value (32 for 0). */
uint32_t c_ctz(uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_UTILITY_H */
