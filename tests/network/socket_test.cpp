#include "network/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "process_census.h"
#include "tests/testing/eventually.h"

namespace Veltrix {
namespace {

class SocketLayer : public ::testing::Test {
protected:
    SocketLayer() { NetInit(); }
    ~SocketLayer() override { NetShutdown(); }
};

// The transport wakes its reader only by shutting the socket down (it must not close a
// number another thread still uses), so a shutdown has to end a receive that is
// already blocked. Winsock's shutdown alone does not.
void ExpectShutdownWakesBlockedReceive(void (*shutdownFn)(SocketHandle)) {
    SocketHandle plugin = kInvalid, phone = kInvalid;
    ASSERT_TRUE(CreateStreamPair(plugin, phone));
    std::atomic<int> result{-1};
    std::atomic<long> readerId{0};
    std::thread reader([&] {
        readerId = testing::CurrentThreadId();
        std::uint8_t b = 0;
        result = RecvAll(plugin, &b, 1) ? 1 : 0;
    });
    // The shutdown must meet a receive that is already blocked, or the hang is not tested.
    ASSERT_TRUE(testing::Eventually([&] { return readerId.load() != 0; }));
    int blocked = 0;
    ASSERT_TRUE(testing::Eventually([&] { return (blocked = testing::ThreadBlockedInReceive(readerId)) != 0; }));
    // Where the system cannot tell, a moment's grace is all there is.
    if (blocked < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    shutdownFn(plugin);
    reader.join();  // a hang here is the fault
    EXPECT_EQ(result.load(), 0);
    std::uint8_t b = 0;
    EXPECT_FALSE(RecvAll(plugin, &b, 1));  // and later receives fail too
    Close(plugin);
    Close(phone);
}

TEST_F(SocketLayer, ShutdownReceiveWakesABlockedReceive) { ExpectShutdownWakesBlockedReceive(ShutdownReceive); }

TEST_F(SocketLayer, ShutdownBothWakesABlockedReceive) { ExpectShutdownWakesBlockedReceive(ShutdownBoth); }

TEST_F(SocketLayer, ShutdownSendEndsThePeersStreamAfterTheData) {
    SocketHandle plugin = kInvalid, phone = kInvalid;
    ASSERT_TRUE(CreateStreamPair(plugin, phone));
    ASSERT_TRUE(SendAll(phone, "ab", 2));
    ShutdownSend(phone);
    char buf[2] = {};
    EXPECT_TRUE(RecvAll(plugin, buf, 2));
    EXPECT_EQ(buf[1], 'b');
    EXPECT_FALSE(RecvAll(plugin, buf, 1));
    EXPECT_TRUE(SendAll(plugin, "c", 1));  // the other direction stays open
    EXPECT_EQ(RecvWithTimeout(phone, buf, 1, 5000), 1);
    Close(plugin);
    Close(phone);
}

TEST_F(SocketLayer, AListenerPortIsNeverShared) {
    const SocketHandle first = CreateTcpListener(0);
    ASSERT_NE(first, kInvalid);
    const std::uint16_t port = LocalPort(first);
    EXPECT_EQ(CreateTcpListener(port), kInvalid);
    EXPECT_FALSE(LastSocketErrorText().empty());
    Close(first);
    // Free again once closed.
    const SocketHandle again = CreateTcpListener(port);
    EXPECT_NE(again, kInvalid);
    Close(again);
}

}  // namespace
}  // namespace Veltrix
