// Checks of the clients that the in-process command loop and the server
// process share; isServed tells whether the server serves a client.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "ServerTestSupport.h"

namespace srvtest {

// Each garbage packet, sent by a client of its own, gets that client dropped
// (unless it hangs up first), and the next client is served.
inline void ExpectGarbageDropsItsClientAndTheNextIsServed(uint16_t port, const std::function<bool(Client&)>& isServed) {
    using namespace std::chrono_literals;
    for (const GarbagePacket& c : garbagePackets()) {
        SCOPED_TRACE(c.name);
        {
            Client bad(port);
            ASSERT_TRUE(bad.send(c.bytes));
            if (!c.thenClose) {
                EXPECT_TRUE(bad.closedByPeer(3000ms));
            }
        }
        Client next(port);
        EXPECT_TRUE(isServed(next));
    }
}

// A second client takes the place of the first, which the server drops.
inline void ExpectSecondClientReplacesTheFirst(uint16_t port, const std::function<bool(Client&)>& isServed) {
    using namespace std::chrono_literals;
    Client first(port);
    ASSERT_TRUE(isServed(first));
    Client second(port);
    EXPECT_TRUE(first.closedByPeer(3000ms));
    EXPECT_TRUE(isServed(second));
}

} // namespace srvtest
