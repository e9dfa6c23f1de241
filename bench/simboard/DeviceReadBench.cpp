/* One read of the register-level device through the library while both of
 * its channels count at a high rate with the wall clock: how long a read
 * takes and how much it brings. Prints one line a read. */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ZarnDPPLayer.h"
#include "ZarnSimulator.h"

int main(int argc, char** argv) {
    double rate = argc > 1 ? atof(argv[1]) : 1e6;
    int reads = argc > 2 ? atoi(argv[2]) : 10;
    int pauseMs = argc > 3 ? atoi(argv[3]) : 10; /* between reads, as the server's cycle */
    c_Digitizer_t* d = static_cast<c_Digitizer_t*>(calloc(1, sizeof(c_Digitizer_t)));
    if (c_newDigitizer(d, nullptr) != 0) {
        fprintf(stderr, "the device does not open\n");
        return 1;
    }
    int32_t link = d->descriptor.CommHandle;
    ZarnSim_SetRate(link, -1, rate);
    if (c_bstarta(d) != 0)
        return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); /* the board's memory fills */
    for (int read = 0; read < reads; ++read) {
        if (read > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        auto start = std::chrono::steady_clock::now();
        int32_t bytes = 0;
        int code = c_getDPPEvents(d, &bytes);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        printf("read %d: %d, %.1f ms, %d bytes, events %u + %u\n", read, code, ms, (int)bytes, d->channels[0].nEvents,
               d->channels[1].nEvents);
    }
    c_bstopa(d);
    c_freeDgtz(d);
    free(d);
    return 0;
}
