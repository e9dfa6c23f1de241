// Start-up of the acquisition server.
#include "MorvaneServer.h"

#include <cstdio>

int main()
{
    std::fprintf(stderr, "MorvaneServer: the server start-up is not built yet.\n");
    return 1;
}
