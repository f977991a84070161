// The bounded channel: order, capacity, and both kinds of disconnection.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/channel.hpp"

namespace orvane::channel {
namespace {

TEST(Channel, DeliversInOrderAcrossThreads) {
    auto [tx, rx] = bounded<int>(1);
    std::thread producer([tx = std::move(tx)]() mutable {
        for (int i = 0; i < 1000; ++i) ASSERT_TRUE(tx.send(i));
    });
    for (int i = 0; i < 1000; ++i) {
        auto v = rx.recv();
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(*v, i);
    }
    producer.join();
    // The sender is gone and nothing is left.
    EXPECT_FALSE(rx.recv().has_value());
}

TEST(Channel, ItemsSentBeforeTheSenderDropsAreStillReceived) {
    auto [tx, rx] = bounded<std::vector<int>>(2);
    ASSERT_TRUE(tx.send({1, 2}));
    ASSERT_TRUE(tx.send({3}));
    { auto gone = std::move(tx); }
    EXPECT_EQ(rx.recv(), (std::vector<int>{1, 2}));
    EXPECT_EQ(rx.recv(), (std::vector<int>{3}));
    EXPECT_FALSE(rx.recv().has_value());
}

TEST(Channel, DroppingTheReceiverWakesABlockedSender) {
    auto [tx, rx] = bounded<int>(1);
    ASSERT_TRUE(tx.send(1));  // full now
    std::atomic<int> result{-1};
    std::thread sender([&, tx = std::move(tx)]() mutable { result = tx.send(2) ? 1 : 0; });
    { auto gone = std::move(rx); }
    sender.join();
    EXPECT_EQ(result.load(), 0);
}

TEST(Channel, DroppingTheSenderWakesABlockedReceiver) {
    auto [tx, rx] = bounded<int>(1);
    std::atomic<int> result{-1};
    std::thread receiver([&, rx = std::move(rx)]() mutable { result = rx.recv().has_value() ? 1 : 0; });
    { auto gone = std::move(tx); }
    receiver.join();
    EXPECT_EQ(result.load(), 0);
}

}  // namespace
}  // namespace orvane::channel
