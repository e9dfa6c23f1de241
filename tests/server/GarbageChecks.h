// The check the in-process loop and the server process share: each garbage
// packet, sent by a client of its own, gets that client dropped (unless it
// hangs up first), and the next client is served.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "ServerTestSupport.h"

namespace srvtest {

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

} // namespace srvtest
