#include "lib/producer.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "lib/core_hooks.hpp"

namespace tarnwick {
namespace {

// A writer whose queue is full while `full` is set; it records what it was handed and how.
class FakeSink final : public BatchSink {
public:
    FakeSink() : BatchSink(std::make_shared<const WriterConfig>(WriterConfig{std::nullopt, {}})) {}
    bool hand_over(Bytes& batch, Wake wake, Deadline) override {
        if (full) return false;
        received += batch.view();
        wakes.push_back(wake);
        batch = Bytes();
        return true;
    }
    bool full = false;
    std::string received;
    std::vector<Wake> wakes;
};

// A renderer that appends `text` as the whole line.
auto line(std::string_view text) {
    return [text](Bytes& batch, TimestampCache&, WallTime, LineStyle) {
        batch.append(text);
        return true;
    };
}

TEST(Producer, HandsOverAFullBatchAndKeepsItWhenTheQueueIsFull) {
    auto sink = std::make_shared<FakeSink>();
    Producer p;
    EXPECT_EQ(p.append(sink, 2, line("a\n")), Outcome::Done);
    EXPECT_EQ(sink->received, "");
    EXPECT_EQ(p.append(sink, 2, line("b\n")), Outcome::Done);
    EXPECT_EQ(sink->received, "a\nb\n");
    EXPECT_EQ(sink->wakes, std::vector<Wake>{Wake::Lazily}) << "a full batch need not wake the writer";

    sink->full = true;
    EXPECT_EQ(p.append(sink, 2, line("c\n")), Outcome::Done);
    EXPECT_EQ(p.append(sink, 2, line("d\n")), Outcome::InQueueFull) << "the line is in, its batch waits";
    EXPECT_EQ(p.hand_over_pending(Deadline{std::chrono::steady_clock::now()}), Outcome::QueueFull);
    EXPECT_TRUE(p.has_pending()) << "lines that found no room stay pending";
    sink->full = false;
    EXPECT_EQ(p.hand_over_pending(), Outcome::Done);
    EXPECT_EQ(sink->received, "a\nb\nc\nd\n");
    EXPECT_EQ(sink->wakes.back(), Wake::Now);
    EXPECT_FALSE(p.has_pending());
}

TEST(Producer, LinesForAnotherWriterGoFirstAndNothingIsAppendedWhileTheyWait) {
    auto first = std::make_shared<FakeSink>(), second = std::make_shared<FakeSink>();
    Producer p;
    ASSERT_EQ(p.append(first, 100, line("1\n")), Outcome::Done);
    first->full = true;
    bool rendered = false;
    const auto render = [&](Bytes& batch, TimestampCache&, WallTime, LineStyle) {
        rendered = true;
        batch.append("2\n");
        return true;
    };
    EXPECT_EQ(p.append(second, 100, render), Outcome::QueueFull);
    EXPECT_FALSE(rendered) << "a line rendered now would go to the wrong writer";
    first->full = false;
    EXPECT_EQ(p.append(second, 100, render), Outcome::Done);
    EXPECT_EQ(first->received, "1\n");
    EXPECT_EQ(p.hand_over_pending(), Outcome::Done);
    EXPECT_EQ(second->received, "2\n");
}

TEST(Producer, ADeclinedLineLeavesNothingPending) {
    auto sink = std::make_shared<FakeSink>();
    Producer p;
    EXPECT_EQ(p.append(sink, 1, [](Bytes&, TimestampCache&, WallTime, LineStyle) { return false; }), Outcome::Declined);
    EXPECT_FALSE(p.has_pending());
    EXPECT_EQ(p.hand_over_pending(), Outcome::Done);
    EXPECT_EQ(sink->received, "");
}

TEST(Producer, ANestedUseIsRefused) {
    auto sink = std::make_shared<FakeSink>();
    Producer p;
    const auto nested = [&](Bytes& batch, TimestampCache&, WallTime, LineStyle) {
        (void)p.hand_over_pending();
        batch.append("never\n");
        return true;
    };
    EXPECT_THROW((void)p.append(sink, 1, nested), std::logic_error);
    EXPECT_TRUE(p.idle()) << "the refused use leaves the producer free";
    EXPECT_EQ(p.append(sink, 1, line("after\n")), Outcome::Done);
    EXPECT_EQ(sink->received, "after\n");
}

// The reacquire hook's writer, for the test below.
std::shared_ptr<FakeSink> LIVE_SINK;
std::shared_ptr<BatchSink> reacquire_live(const WriterConfigRef&) { return LIVE_SINK; }

TEST(Producer, LinesOfADestroyedWriterGoWhereTheHookSays) {
    static CoreHooks hooks = default_core_hooks();
    hooks.reacquire_sink = &reacquire_live;
    set_core_hooks(&hooks);
    LIVE_SINK = std::make_shared<FakeSink>();
    auto gone = std::make_shared<FakeSink>();
    Producer p;
    ASSERT_EQ(p.append(gone, 100, line("orphan\n")), Outcome::Done);
    gone.reset();
    EXPECT_EQ(p.hand_over_pending(), Outcome::Done);
    EXPECT_EQ(LIVE_SINK->received, "orphan\n");
    hooks.reacquire_sink = nullptr;  // none: such lines are dropped
    gone = std::make_shared<FakeSink>();
    ASSERT_EQ(p.append(gone, 100, line("dropped\n")), Outcome::Done);
    gone.reset();
    EXPECT_EQ(p.hand_over_pending(), Outcome::Done);
    EXPECT_FALSE(p.has_pending());
    set_core_hooks(nullptr);
    LIVE_SINK.reset();
}

TEST(Producer, TakesPendingLinesOnlyForTheirOwnWriter) {
    auto sink = std::make_shared<FakeSink>(), other = std::make_shared<FakeSink>();
    Producer p;
    ASSERT_EQ(p.append(sink, 100, line("mine\n")), Outcome::Done);
    EXPECT_EQ(p.take_pending_for(other.get()), std::nullopt);
    const std::optional<Bytes> taken = p.take_pending_for(sink.get());
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->view(), "mine\n");
    EXPECT_FALSE(p.has_pending());
}

}  // namespace
}  // namespace tarnwick
