/*
 * SRV_CommandCodes: the command code of a packet header and the codes of the
 * commands served (from their rows in SRV_Commands.def).
 */
#ifndef SRV_COMMAND_CODES_H
#define SRV_COMMAND_CODES_H

#include <stdint.h>

/* The command code of a packet header. */
typedef uint16_t SRVCommand_t;

/* The codes of the commands served, from their rows, and the code of the
 * announcement the server sends (no command of a client). */
enum {
#define SRV_COMMAND(code, name, ...) name = code,
#include "SRV_Commands.def"
#undef SRV_COMMAND
    SRV_CMD_NOTIFY = 54
};

#endif /* SRV_COMMAND_CODES_H */
