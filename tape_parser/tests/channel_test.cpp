#include "tape_parser/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using tape_parser::make_channel;

TEST(Channel, KeepsOrderAndRefusesBeyondCapacityWithoutWaiting) {
    auto [tx, rx] = make_channel<int>(2);
    EXPECT_FALSE(tx.try_send(1));
    EXPECT_FALSE(tx.try_send(2));
    auto back = tx.try_send(3);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, 3);
    EXPECT_EQ(rx.recv(), 1);
    EXPECT_FALSE(tx.try_send(4));
    EXPECT_EQ(rx.recv(), 2);
    EXPECT_EQ(rx.recv(), 4);
}

TEST(Channel, ReceiverDrainsQueueThenSeesClosedSender) {
    auto [tx, rx] = make_channel<int>(2);
    EXPECT_FALSE(tx.send(7));
    tx.close();
    EXPECT_EQ(rx.recv(), 7);
    EXPECT_EQ(rx.recv(), std::nullopt);
    EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(Channel, SendsToAGoneReceiverHandTheItemBack) {
    auto [tx, rx] = make_channel<std::unique_ptr<int>>(1);
    rx.close();
    auto a = tx.send(std::make_unique<int>(5));
    ASSERT_TRUE(a && *a);
    EXPECT_EQ(**a, 5);
    auto b = tx.try_send(std::make_unique<int>(6));
    ASSERT_TRUE(b && *b);
    EXPECT_EQ(**b, 6);
}

TEST(Channel, BlockedSenderWakesWhenReceiverGoes) {
    auto [tx, rx] = make_channel<int>(1);
    ASSERT_FALSE(tx.send(1));
    std::optional<int> back;
    std::thread t([&, tx = std::move(tx)]() mutable { back = tx.send(2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rx.close();
    t.join();
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, 2);
}

TEST(Channel, BlockedReceiverWakesWhenSenderGoes) {
    auto [tx, rx] = make_channel<int>(1);
    std::optional<int> got = 99;
    std::thread t([&, rx = std::move(rx)]() mutable { got = rx.recv(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tx.close();
    t.join();
    EXPECT_EQ(got, std::nullopt);
}

TEST(Channel, QueuedItemsAreReleasedOnceNobodyCanTakeThem) {
    auto item = std::make_shared<int>(1);
    {
        auto [tx, rx] = make_channel<std::shared_ptr<int>>(2);
        ASSERT_FALSE(tx.try_send(item));
        ASSERT_FALSE(tx.try_send(item));
        EXPECT_EQ(item.use_count(), 3);
        rx.close();
        EXPECT_EQ(item.use_count(), 1);
    }
    {
        auto [tx, rx] = make_channel<std::shared_ptr<int>>(2);
        ASSERT_FALSE(tx.try_send(item));
        tx.close();  // the receiver may still take it
        EXPECT_EQ(item.use_count(), 2);
    }
    EXPECT_EQ(item.use_count(), 1);
}

TEST(Channel, CapacityOneHandsOverEveryItemInOrderAcrossThreads) {
    auto [tx, rx] = make_channel<int>(1);
    constexpr int kCount = 20000;
    std::thread producer([tx = std::move(tx)]() mutable {
        for (int i = 0; i < kCount; ++i) ASSERT_FALSE(tx.send(i));
    });
    int expected = 0;
    while (auto v = rx.recv()) {
        ASSERT_EQ(*v, expected);
        ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, kCount);
}
