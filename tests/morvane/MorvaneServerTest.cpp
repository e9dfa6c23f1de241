/* The server process opened on the device with -h, end to end over TCP. */
#include <gtest/gtest.h>

#include "ServerTestSupport.h"

using namespace srvtest;
using namespace std::chrono_literals;

namespace {

const int16_t SUCCESS = 0;
const uint16_t QUIT = 25;

TEST(MorvaneServer, OpensTheDeviceServesAndQuitsCleanly) {
    uint16_t port = freePort();
    ServerProcess server({"-h", "-p", std::to_string(port)});
    ASSERT_TRUE(server.waitReady()) << server.log() << server.log("CBoard_MorvaneLog.txt");
    // The board's data folder is named after the device's model and serial number.
    EXPECT_TRUE(fs::exists(server.workDir() / "QN8560N_7101" / "spectrum_ch00.spe"));
    EXPECT_TRUE(fs::exists(server.workDir() / "QN8560N_7101" / "spectrum_ch01.spe"));
    Client client(port);
    ASSERT_TRUE(client.connected());
    auto reply = client.request(QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), SUCCESS);
    EXPECT_EQ(server.waitExit(60s), 0);
}

} // namespace
