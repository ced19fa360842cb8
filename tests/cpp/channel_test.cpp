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

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

Clock::time_point in(milliseconds ms) { return Clock::now() + ms; }

// Counts live payloads, so a leak or a double destroy shows up as a wrong balance.
struct Counted {
    static inline std::atomic<int> live{0};
    static inline std::atomic<int> constructed{0};
    static inline std::atomic<int> destroyed{0};
    int value;
    explicit Counted(int v) : value(v) {
        ++live;
        ++constructed;
    }
    Counted(Counted&& o) noexcept : value(o.value) {
        ++live;
        ++constructed;
    }
    Counted& operator=(Counted&&) = delete;
    ~Counted() {
        --live;
        ++destroyed;
    }
};

class CountedChannel : public testing::Test {
protected:
    void SetUp() override {
        Counted::live = 0;
        Counted::constructed = 0;
        Counted::destroyed = 0;
    }
};

// Waits for a send running on another thread; every wait is bounded.
template <class F>
std::future<std::invoke_result_t<F>> start(F f) {
    return std::async(std::launch::async, std::move(f));
}

class ChannelOrder : public testing::TestWithParam<std::size_t> {};

TEST_P(ChannelOrder, ProducersKeepTheirOwnOrderAndNothingIsLost) {
    constexpr int producers = 4;
    constexpr std::uint64_t per_producer = 10000;
    auto [tx, rx] = make_channel<std::uint64_t>(GetParam());

    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&tx = tx, p] {
            for (std::uint64_t i = 0; i < per_producer; ++i) {
                EXPECT_FALSE(tx.send(static_cast<std::uint64_t>(p) << 32 | i).has_value());
            }
        });
    }
    std::vector<std::uint64_t> next(producers, 0);
    std::uint64_t sum = 0;
    for (std::uint64_t got = 0; got < producers * per_producer; ++got) {
        RecvResult<std::uint64_t> r = rx.recv_until(in(milliseconds(5000)));
        ASSERT_EQ(r.status, RecvStatus::Message);
        const std::uint64_t p = *r.message >> 32;
        const std::uint64_t i = *r.message & 0xffffffff;
        ASSERT_EQ(i, next[p]) << "producer " << p << " out of order";
        ++next[p];
        sum += i;
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(sum, producers * (per_producer * (per_producer - 1) / 2));
    EXPECT_EQ(rx.recv_until(in(milliseconds(0))).status, RecvStatus::TimedOut);
}

INSTANTIATE_TEST_SUITE_P(Channel, ChannelOrder, testing::Values(1, 4, ACTION_CHANNEL_CAPACITY));

TEST_F(CountedChannel, QueuedMessagesOutliveReceiverUntilSenderGoesToo) {
    {
        auto [tx, rx] = make_channel<Counted>(8);
        for (int i = 0; i < 5; ++i) ASSERT_FALSE(tx.send(Counted(i)).has_value());
        {
            RecvResult<Counted> r = rx.recv_until(in(milliseconds(100)));
            ASSERT_EQ(r.status, RecvStatus::Message);
            EXPECT_EQ(r.message->value, 0);
        }
        EXPECT_EQ(Counted::live, 4);
        { Receiver<Counted> gone = std::move(rx); }
        EXPECT_EQ(Counted::live, 4) << "queued messages stay until the channel is released";

        std::optional<Counted> back = tx.send(Counted(99));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->value, 99);
    }
    EXPECT_EQ(Counted::live, 0);
    EXPECT_EQ(Counted::destroyed, Counted::constructed);
}

TEST(Channel, SendAfterReceiverGoneReturnsMessage) {
    auto [tx, rx] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
    { Receiver<Action> gone = std::move(rx); }
    EXPECT_FALSE(tx.receiver_alive());
    Bytes payload;
    payload.append("line\n");
    std::optional<Action> back = tx.send(Write{std::move(payload)});
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::get<Write>(*back).bytes.view(), "line\n");
}

class ChannelFull : public testing::TestWithParam<std::size_t> {};

TEST_P(ChannelFull, SendWaitsUntilReceiverTakesOne) {
    const std::size_t capacity = GetParam();
    auto [tx, rx] = make_channel<std::size_t>(capacity);
    for (std::size_t i = 0; i < capacity; ++i) ASSERT_FALSE(tx.send(i).has_value());

    auto blocked = start([&tx = tx, capacity] { return tx.send(capacity); });
    EXPECT_EQ(blocked.wait_for(milliseconds(100)), std::future_status::timeout);
    RecvResult<std::size_t> first = rx.recv_until(in(milliseconds(100)));
    ASSERT_EQ(first.status, RecvStatus::Message);
    EXPECT_EQ(*first.message, 0u);
    ASSERT_EQ(blocked.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_FALSE(blocked.get().has_value());
    for (std::size_t i = 1; i <= capacity; ++i) {
        RecvResult<std::size_t> r = rx.recv_until(in(milliseconds(100)));
        ASSERT_EQ(*r.message, i);
    }
}

INSTANTIATE_TEST_SUITE_P(Channel, ChannelFull, testing::Values(4, ACTION_CHANNEL_CAPACITY));

TEST(Channel, BlockedSenderIsReleasedWhenReceiverGoes) {
    auto [tx, rx] = make_channel<int>(4);
    for (int i = 0; i < 4; ++i) ASSERT_FALSE(tx.send(i).has_value());
    auto blocked = start([&tx = tx] { return tx.send(42); });
    ASSERT_EQ(blocked.wait_for(milliseconds(100)), std::future_status::timeout);
    { Receiver<int> gone = std::move(rx); }
    ASSERT_EQ(blocked.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), std::optional<int>(42));
}

TEST(Channel, FailedFlushAckReleasesAckSenderAtOnce) {
    auto [tx, rx] = make_channel<Action>(8);
    { Receiver<Action> gone = std::move(rx); }
    auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
    std::optional<Action> back = tx.send(FlushAck{std::move(ack_tx)});
    ASSERT_TRUE(back.has_value());
    back.reset();  // what every sender does with a returned message

    const auto started = Clock::now();
    EXPECT_EQ(ack_rx.recv_until(in(milliseconds(5000))).status, RecvStatus::Disconnected);
    EXPECT_LT(Clock::now() - started, milliseconds(1000));
}

TEST(Channel, ReceiveReportsTimeOutThenMessagesThenDisconnect) {
    auto [tx, rx] = make_channel<int>(4);
    const auto started = Clock::now();
    EXPECT_EQ(rx.recv_until(in(milliseconds(50))).status, RecvStatus::TimedOut);
    EXPECT_GE(Clock::now() - started, milliseconds(50));

    ASSERT_FALSE(tx.send(1).has_value());
    ASSERT_FALSE(tx.send(2).has_value());
    { Sender<int> gone = std::move(tx); }
    EXPECT_EQ(rx.recv_until(in(milliseconds(0))).message, std::optional<int>(1));
    EXPECT_EQ(rx.recv_until(in(milliseconds(0))).message, std::optional<int>(2));
    EXPECT_EQ(rx.recv_until(in(milliseconds(5000))).status, RecvStatus::Disconnected);
}

TEST(Channel, WaitingReceiverWakesWhenSenderGoes) {
    auto [tx, rx] = make_channel<int>(4);
    auto waiting = start([&rx = rx] { return rx.recv_until(in(milliseconds(5000))).status; });
    ASSERT_EQ(waiting.wait_for(milliseconds(50)), std::future_status::timeout);
    { Sender<int> gone = std::move(tx); }
    ASSERT_EQ(waiting.wait_for(milliseconds(2000)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), RecvStatus::Disconnected);
}

}  // namespace
}  // namespace tarnwick
