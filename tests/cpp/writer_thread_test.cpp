#include "lib/writer_thread.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr std::size_t C = WRITE_BUFFER_CAPACITY;

// One scripted answer of the fake sink: accept at most `limit` bytes, or fail with `error`.
struct Step {
    std::size_t limit = SIZE_MAX;
    int error = 0;
};
struct SinkLog {
    std::deque<Step> script;  // once used up, everything is accepted
    std::string data;
    std::vector<std::size_t> offered;
};

class FakeSink final : public Destination {
public:
    explicit FakeSink(SinkLog& log) : log_(log) {}
    IoResult<std::size_t> write(const char* data, std::size_t size) override {
        log_.offered.push_back(size);
        const Step step = log_.script.empty() ? Step{} : log_.script.front();
        if (!log_.script.empty()) log_.script.pop_front();
        if (step.error != 0) return IoError::os(step.error);
        log_.data.append(data, std::min(size, step.limit));
        return std::min(size, step.limit);
    }

private:
    SinkLog& log_;
};

Write write_of(std::string_view text) {
    Write w;
    w.bytes.append(text);
    return w;
}

// Writes at the buffer's boundaries: what reaches the destination at once, what stays buffered.
TEST(WriterBuffer, WritePathAtTheBoundaries) {
    // clang-format off
    const struct { std::size_t pending, n; std::vector<std::size_t> offered; std::size_t pending_after; } table[] = {
        {10, C - 10, {}, C},       // exactly the free space: buffered, leaving the buffer full
        {10, C - 9, {10}, C - 9},  // one byte over: the buffer goes out first
        {0, C, {C}, 0},            // a whole buffer into an empty one goes direct
        {0, C - 1, {}, C - 1},
        {10, 2 * C, {10, 2 * C}, 0}};
    // clang-format on
    for (const auto& c : table) {
        SCOPED_TRACE(testing::Message() << c.pending << " pending, writing " << c.n);
        SinkLog log;
        BufferedWriter writer(std::make_unique<FakeSink>(log));
        const std::string before(c.pending, 'a'), payload(c.n, 'b');
        ASSERT_FALSE(writer.write(before));
        ASSERT_FALSE(writer.write(payload));
        EXPECT_EQ(log.offered, c.offered);
        EXPECT_EQ(writer.pending(), c.pending_after);
        ASSERT_FALSE(writer.write_out());
        EXPECT_TRUE(log.data == before + payload) << "bytes reordered or lost";
    }
}

// A failed write-out must keep exactly the unaccepted tail, in order, for the next attempt.
TEST(WriterBuffer, PartialAndInterruptedWritesAreRetried) {
    SinkLog log{{Step{3}, Step{0, EINTR}, Step{1}, Step{0, EINTR}, Step{2}, Step{0, EIO}}, {}, {}};
    BufferedWriter writer(std::make_unique<FakeSink>(log));
    ASSERT_FALSE(writer.write("hello world\n"));
    IoStatus status = writer.write_out();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text(), "Input/output error (os error 5)");
    EXPECT_EQ(writer.pending(), 6u);
    ASSERT_FALSE(writer.write_out());
    EXPECT_EQ(log.data, "hello world\n");
}

// Thread tests move midnight through TEST_DAY. FAKE_LOG is set before the spawn, read after the join.
std::atomic<int> TEST_DAY{5};
Date test_today() { return Date{2026, 1, TEST_DAY.load()}; }
SinkLog FAKE_LOG;
IoResult<BufferedWriter> open_fake(const std::optional<std::string>&, const Date&) {
    return BufferedWriter(std::make_unique<FakeSink>(FAKE_LOG));
}
constexpr auto CHECK_INTERVAL = 20ms;  // the writer's periodic write-out and date check

class WriterThreadTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnwick-writer-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        TEST_DAY = 5;
    }
    void TearDown() override {
        thread_.join();
        std::filesystem::remove_all(dir_);
    }
    Sender<Action> start(std::optional<std::string> path, OpenDestination open = rotate) {
        auto [tx, rx] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
        thread_ = WriterThread::spawn(
            Context{std::move(rx), std::move(path), test_today(), test_today, open, CHECK_INTERVAL});
        return std::move(tx);
    }
    std::string day_file(int day) const {
        std::ostringstream out;
        out << std::ifstream(dir_ / ("app_2026010" + std::to_string(day) + ".log"), std::ios::binary).rdbuf();
        return out.str();
    }
    static void flush_and_wait(const Sender<Action>& tx) {
        auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        ASSERT_EQ(tx.send(FlushAck{std::move(ack_tx)}), SendStatus::Sent);
        ASSERT_EQ(ack_rx.recv_until(Clock::now() + 5s).status, RecvStatus::Message);
    }

    std::filesystem::path dir_;
    WriterThread thread_;
};

// The flush reply comes only once the bytes are in the file; unflushed bytes follow at the next
// periodic check; Stop writes what is pending. An ack waiter that gave up is no error either.
TEST_F(WriterThreadTest, BytesReachTheFileOnFlushTimerAndStop) {
    testing::internal::CaptureStderr();
    Sender<Action> tx = start(dir_ / "app.log");
    const auto sent = Clock::now();
    ASSERT_EQ(tx.send(write_of("p\n")), SendStatus::Sent);
    flush_and_wait(tx);
    EXPECT_EQ(day_file(5), "p\n");
    ASSERT_EQ(tx.send(write_of("q\n")), SendStatus::Sent);
    while (day_file(5) != "p\nq\n" && Clock::now() - sent < 10s) std::this_thread::sleep_for(CHECK_INTERVAL);
    EXPECT_EQ(day_file(5), "p\nq\n");
    {
        auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        { AckReceiver gone = std::move(ack_rx); }
        ASSERT_EQ(tx.send(FlushAck{std::move(ack_tx)}), SendStatus::Sent);
    }
    ASSERT_EQ(tx.send(write_of("r\n")), SendStatus::Sent);
    ASSERT_EQ(tx.send(Stop{}), SendStatus::Sent);
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(day_file(5), "p\nq\nr\n");
    EXPECT_EQ(tx.send(Stop{}), SendStatus::Disconnected) << "the receiver is gone once the thread has ended";
}

// Going back to day 5 also proves that reopening a day's file appends to it.
TEST_F(WriterThreadTest, DateChangeSwitchesFilesAlsoBackwards) {
    Sender<Action> tx = start(dir_ / "app.log");
    for (auto [day, line] : {std::pair(5, "one\n"), std::pair(6, "two\n"), std::pair(5, "three\n")}) {
        if (day != TEST_DAY) {
            TEST_DAY = day;
            std::this_thread::sleep_for(2 * CHECK_INTERVAL);  // a date check is due by the next message
            flush_and_wait(tx);
        }
        ASSERT_EQ(tx.send(write_of(line)), SendStatus::Sent);
        flush_and_wait(tx);
    }
    ASSERT_EQ(tx.send(Stop{}), SendStatus::Sent);
    thread_.join();
    EXPECT_EQ(day_file(5), "one\nthree\n");
    EXPECT_EQ(day_file(6), "two\n");
}

enum class Trigger { Open, Direct, FlushAck, LastSenderGone };
struct ExitCase {
    std::optional<std::string> relative_path;  // none: the fake sink following `script`
    std::deque<Step> script;
    Trigger trigger;
    std::string line;
};
class WriterThreadExit : public WriterThreadTest, public testing::WithParamInterface<ExitCase> {};

TEST_P(WriterThreadExit, ReportsOneLineAndDisconnects) {
    const ExitCase& c = GetParam();
    std::ofstream(dir_ / "plain") << "a regular file";
    testing::internal::CaptureStderr();
    Sender<Action> tx;
    if (c.relative_path) {
        tx = start((dir_ / "").string() + *c.relative_path);
    } else {
        FAKE_LOG = SinkLog{c.script, {}, {}};
        tx = start(std::nullopt, open_fake);
        ASSERT_EQ(tx.send(write_of(std::string(c.trigger == Trigger::Direct ? C : 10, 'z'))), SendStatus::Sent);
    }
    if (c.trigger == Trigger::FlushAck) {
        auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        ASSERT_EQ(tx.send(FlushAck{std::move(ack_tx)}), SendStatus::Sent);
        EXPECT_EQ(ack_rx.recv_until(Clock::now() + 5s).status, RecvStatus::Disconnected)
            << "a failed flush drops the ack sender unanswered";
    }
    if (c.trigger == Trigger::LastSenderGone) {
        Sender<Action> gone = std::move(tx);
    }
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    if (c.trigger != Trigger::LastSenderGone) {
        EXPECT_EQ(tx.send(write_of("lost\n")), SendStatus::Disconnected) << "later sends fail";
    }
}

std::string exit_case_name(const testing::TestParamInfo<ExitCase>& c) {
    static const char* const TRIGGERS[] = {"open", "direct_write", "flush", "last_sender_gone"};
    return TRIGGERS[static_cast<int>(c.param.trigger)] + std::string("_") + std::to_string(c.index);
}

// Lines still pending when the last sender goes are written, and a failure is reported.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Writer, WriterThreadExit, testing::Values(
    ExitCase{"plain/sub/app.log", {}, Trigger::Open, "error Not a directory (os error 20)\n"},
    ExitCase{std::string("a\0b.log", 7), {}, Trigger::Open, "error file name contained an unexpected NUL byte\n"},
    ExitCase{std::nullopt, {Step{0}}, Trigger::FlushAck, "error failed to write the buffered data\n"},
    ExitCase{std::nullopt, {Step{0}}, Trigger::Direct, "error failed to write whole buffer\n"},
    ExitCase{std::nullopt, {Step{2}, Step{0, ENOSPC}}, Trigger::FlushAck, "error No space left on device (os error 28)\n"},
    ExitCase{std::nullopt, {Step{0, EIO}}, Trigger::LastSenderGone, "error Input/output error (os error 5)\n"}),
    exit_case_name);
// clang-format on

}  // namespace
}  // namespace tarnwick
