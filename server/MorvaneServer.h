/* MorvaneServer: start-up, options and the command loop of the server. */
#ifndef MORVANE_SERVER_H
#define MORVANE_SERVER_H
#endif
