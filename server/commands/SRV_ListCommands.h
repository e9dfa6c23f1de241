/*
 * SRV_ListCommands: commands 35 and 36, a channel's list-mode settings and
 * buffered events (SRV_List). The handlers are the rows' of
 * SRV_Commands.def, declared with the command table.
 */
#ifndef SRV_LIST_COMMANDS_H
#define SRV_LIST_COMMANDS_H

#include "SRV_CommandRequest.h"

#endif /* SRV_LIST_COMMANDS_H */
