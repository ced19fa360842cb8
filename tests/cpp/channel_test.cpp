#include "lib/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "lib/action.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
Clock::time_point in(Clock::duration d) { return Clock::now() + d; }

// Every wait on the other thread is bounded, so a hang fails instead of stalling the suite.
template <class F>
auto start(F f) {
    return std::async(std::launch::async, std::move(f));
}

// A leak or a double destroy shows up as a nonzero balance.
struct Counted {
    static inline std::atomic<int> live{0};
    int value;
    explicit Counted(int v) : value(v) { ++live; }
    Counted(Counted&& o) noexcept : value(o.value) { ++live; }
    Counted& operator=(Counted&&) = delete;
    ~Counted() { --live; }
};

TEST(Channel, ProducersKeepTheirOwnOrderAndNothingIsLost) {
    constexpr std::uint64_t producers = 4, per_producer = 10000;
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{4}, ACTION_CHANNEL_CAPACITY}) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        auto [tx, rx] = make_channel<std::uint64_t>(capacity);
        std::vector<std::thread> threads;
        for (std::uint64_t p = 0; p < producers; ++p) {
            threads.emplace_back([&tx = tx, p] {
                for (std::uint64_t i = 0; i < per_producer; ++i) EXPECT_EQ(tx.send(p << 32 | i), SendStatus::Sent);
            });
        }
        std::vector<std::uint64_t> next(producers, 0);
        for (std::uint64_t got = 0; got < producers * per_producer; ++got) {
            RecvResult<std::uint64_t> r = rx.recv_until(in(5s));
            ASSERT_EQ(r.status, RecvStatus::Message);
            const std::uint64_t p = *r.message >> 32, i = *r.message & 0xffffffff;
            ASSERT_EQ(i, next[p]++) << "producer " << p << " out of order";
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(next, std::vector<std::uint64_t>(producers, per_producer));
        EXPECT_EQ(rx.recv_until(in(0s)).status, RecvStatus::TimedOut);
    }
}

TEST(Channel, QueuedMessagesAreDestroyedOnceWhenTheReceiverGoes) {
    Counted::live = 0;
    {
        auto [tx, rx] = make_channel<Counted>(8);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(tx.send(Counted(i)), SendStatus::Sent);
        EXPECT_EQ(rx.recv_until(in(100ms)).message->value, 0);
        { Receiver<Counted> gone = std::move(rx); }
        EXPECT_EQ(Counted::live, 0) << "nobody will handle the queued messages: they are released";
        Counted back(99);
        EXPECT_EQ(tx.send(back), SendStatus::Disconnected);
        EXPECT_EQ(Counted::live, 1) << "a message that was not sent stays with the caller";
    }
    EXPECT_EQ(Counted::live, 0);
}

// A full channel holds a send back until the receiver takes one, or until the receiver goes.
TEST(Channel, FullSendWaitsForRoomOrTheReceiversEnd) {
    auto [tx, rx] = make_channel<int>(4);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(tx.send(i), SendStatus::Sent);
    auto blocked = start([&tx = tx] { return tx.send(4); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(rx.recv_until(in(100ms)).message, 0);
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), SendStatus::Sent);
    blocked = start([&tx = tx] { return tx.send(42); });  // full again: 1, 2, 3, 4
    ASSERT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    { Receiver<int> gone = std::move(rx); }
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), SendStatus::Disconnected);
    EXPECT_FALSE(tx.connected());
}

// A send with a deadline keeps its message when it gives up, so the caller still holds the lines.
TEST(Channel, SendWithADeadlineKeepsTheMessageWhenItGivesUp) {
    auto [tx, rx] = make_channel<std::vector<int>>(1);
    std::vector<int> first{1}, second{2, 3};
    EXPECT_EQ(tx.send(first, Wake::Now, Clock::time_point{}), SendStatus::Sent);
    EXPECT_EQ(tx.send(second, Wake::Now, in(50ms)), SendStatus::TimedOut);
    EXPECT_EQ(second, (std::vector<int>{2, 3}));
    EXPECT_EQ(rx.recv_until(in(100ms)).message, std::vector<int>{1});
    EXPECT_EQ(tx.send(second, Wake::Now, Clock::time_point{}), SendStatus::Sent);  // room again: no waiting
}

// The waiting receiver must be woken by the sender leaving, and only after the queue is drained.
TEST(Channel, ReceiveTimesOutThenDrainsThenSeesDisconnect) {
    auto [tx, rx] = make_channel<int>(4);
    const auto started = Clock::now();
    EXPECT_EQ(rx.recv_until(in(50ms)).status, RecvStatus::TimedOut);
    EXPECT_GE(Clock::now() - started, 50ms);
    ASSERT_EQ(tx.send(1), SendStatus::Sent);
    auto waiting = start([&rx = rx] {
        std::optional<int> first = rx.recv_until(in(5s)).message;
        return std::pair(first, rx.recv_until(in(5s)).status);
    });
    ASSERT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    { Sender<int> gone = std::move(tx); }
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), std::pair(std::optional<int>(1), RecvStatus::Disconnected));
}

}  // namespace
}  // namespace tarnwick
