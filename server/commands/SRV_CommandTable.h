/*
 * SRV_CommandTable: the commands served, one row each of SRV_Commands.def,
 * with the finders and logs the rows name.
 */
#ifndef SRV_COMMAND_TABLE_H
#define SRV_COMMAND_TABLE_H

#include <stddef.h>

#include "SRV_CommandRequest.h"

/* The commands served (count entries); every other code is unsupported. */
const SRVCommandEntry_t* SRV_CommandTable(size_t* count);
/* The entry of the command, or NULL when it is not served. */
const SRVCommandEntry_t* SRV_FindCommand(SRVCommand_t code);

#endif /* SRV_COMMAND_TABLE_H */
