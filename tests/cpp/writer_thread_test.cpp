#include "lib/writer_thread.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/rotation.hpp"

namespace tarnwick {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr std::size_t C = WRITE_BUFFER_CAPACITY;

// One scripted answer of the fake sink: accept at most `limit` bytes, or fail with `error`.
struct Step {
    std::size_t limit = SIZE_MAX;
    int error = 0;
};

struct SinkLog {
    std::deque<Step> script;  // answers in order; then everything is accepted
    std::string data;         // every accepted byte, in order
    std::vector<std::size_t> offered;
};

class FakeSink final : public Destination {
public:
    explicit FakeSink(std::shared_ptr<SinkLog> log) : log_(std::move(log)) {}
    IoResult<std::size_t> write(const char* data, std::size_t size) override {
        log_->offered.push_back(size);
        Step step;
        if (!log_->script.empty()) {
            step = log_->script.front();
            log_->script.pop_front();
        }
        if (step.error != 0) return IoError::os(step.error);
        const std::size_t n = std::min(size, step.limit);
        log_->data.append(data, n);
        return n;
    }
    IoStatus flush() override { return std::nullopt; }

private:
    std::shared_ptr<SinkLog> log_;
};

Bytes bytes_of(std::string_view text) {
    Bytes out;
    out.append(text);
    return out;
}

struct BufferCase {
    const char* name;
    std::size_t pending;  // bytes buffered before the write
    std::size_t n;        // size of the write
    std::vector<std::size_t> offered;
    std::size_t pending_after;
};

class WriterBuffer : public testing::TestWithParam<BufferCase> {};

TEST_P(WriterBuffer, WritePathAtTheBoundaries) {
    const BufferCase& c = GetParam();
    auto log = std::make_shared<SinkLog>();
    BufferedWriter writer(std::make_unique<FakeSink>(log));
    const std::string before(c.pending, 'a');
    const std::string payload(c.n, 'b');
    ASSERT_FALSE(writer.write(before));
    ASSERT_FALSE(writer.write(payload));
    EXPECT_EQ(log->offered, c.offered);
    EXPECT_EQ(writer.pending(), c.pending_after);
    ASSERT_FALSE(writer.flush());
    EXPECT_TRUE(log->data == before + payload) << "bytes reordered or lost";
}

INSTANTIATE_TEST_SUITE_P(
    Writer, WriterBuffer,
    testing::Values(BufferCase{"SmallIsCopied", 10, 5, {}, 15},
                    BufferCase{"FreeSpaceExactlyFillsBuffer", 10, C - 10, {}, C},
                    BufferCase{"OneByteOverWritesOutFirst", 10, C - 9, {10}, C - 9},
                    BufferCase{"WholeBufferIntoEmptyGoesDirect", 0, C, {C}, 0},
                    BufferCase{"OneByteLessIsBuffered", 0, C - 1, {}, C - 1},
                    BufferCase{"LargeAfterPendingGoesDirect", 10, 2 * C, {10, 2 * C}, 0}),
    [](const testing::TestParamInfo<BufferCase>& param_info) { return std::string(param_info.param.name); });

TEST(WriterBuffer, PartialAndInterruptedWritesAreRetried) {
    auto log = std::make_shared<SinkLog>();
    log->script = {Step{3}, Step{0, EINTR}, Step{1}, Step{0, EINTR}};
    BufferedWriter writer(std::make_unique<FakeSink>(log));
    ASSERT_FALSE(writer.write("hello world\n"));
    ASSERT_FALSE(writer.flush());
    EXPECT_EQ(log->data, "hello world\n");
    EXPECT_EQ(writer.pending(), 0u);
}

struct FailureCase {
    const char* name;
    std::deque<Step> script;
    std::size_t n;
    std::string text;
    std::size_t pending_after;
};

class WriterFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(WriterFailure, ReportsTextAndKeepsUnacceptedBytesForTheClose) {
    const FailureCase& c = GetParam();
    auto log = std::make_shared<SinkLog>();
    log->script = c.script;
    const std::string payload(c.n, 'x');
    {
        BufferedWriter writer(std::make_unique<FakeSink>(log));
        IoStatus status = writer.write(payload);
        if (!status) status = writer.flush();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->text(), c.text);
        EXPECT_EQ(writer.pending(), c.pending_after);
    }
    if (c.pending_after > 0) {
        EXPECT_EQ(log->data, payload) << "closing gives pending bytes one more try";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writer, WriterFailure,
    testing::Values(FailureCase{"ZeroWriteOfBuffer", {Step{4}, Step{0}}, 12, BUFFERED_WRITE_ZERO, 8},
                    FailureCase{"ZeroWriteOfLargePayload", {Step{0}}, C, DIRECT_WRITE_ZERO, 0},
                    FailureCase{"OsError", {Step{0, EIO}}, 12, "Input/output error (os error 5)", 12}),
    [](const testing::TestParamInfo<FailureCase>& param_info) { return std::string(param_info.param.name); });

TEST(WriterBuffer, ClosedStandardOutputSwallowsBytes) {
    const int fd = ::dup(0);
    ASSERT_GE(fd, 0);
    ::close(fd);  // a descriptor number that is certainly closed
    StdoutDestination destination(fd);
    IoResult<std::size_t> r = destination.write("abc", 3);
    ASSERT_TRUE(std::holds_alternative<std::size_t>(r));
    EXPECT_EQ(std::get<std::size_t>(r), 3u);
}

// --- the thread ---

std::atomic<int> TEST_DAY{5};
Date test_today() { return Date{2026, 1, TEST_DAY.load()}; }

// One sink per opening, in order. Set before spawn, read after join.
std::vector<std::shared_ptr<SinkLog>> FAKE_LOGS;
std::size_t FAKE_OPENS = 0;
IoResult<BufferedWriter> open_fake(const Context&) {
    return BufferedWriter(std::make_unique<FakeSink>(FAKE_LOGS.at(FAKE_OPENS++)));
}
void fake_sinks(std::vector<std::deque<Step>> scripts) {
    FAKE_LOGS.clear();
    FAKE_OPENS = 0;
    for (auto& script : scripts) {
        FAKE_LOGS.push_back(std::make_shared<SinkLog>());
        FAKE_LOGS.back()->script = std::move(script);
    }
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

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
        FAKE_LOGS.clear();
    }

    Sender<Action> start(std::optional<std::string> path,
                         IoResult<BufferedWriter> (*open)(const Context&) = rotate) {
        auto [tx, rx] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
        thread_ = WriterThread::spawn(
            Context{std::move(rx), std::move(path), test_today(), test_today, open});
        return std::move(tx);
    }
    std::string day_file(int day) const {
        return read_file(dir_ / ("app_202601" + std::string(day < 10 ? "0" : "") + std::to_string(day) + ".log"));
    }
    static void flush_and_wait(const Sender<Action>& tx) {
        auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        ASSERT_FALSE(tx.send(FlushAck{std::move(ack_tx)}));
        ASSERT_EQ(ack_rx.recv_until(Clock::now() + milliseconds(5000)).status, RecvStatus::Message);
    }

    std::filesystem::path dir_;
    WriterThread thread_;
};

TEST_F(WriterThreadTest, StopWritesPendingBytesSilently) {
    testing::internal::CaptureStderr();
    Sender<Action> tx = start(dir_ / "app.log");
    ASSERT_FALSE(tx.send(Write{bytes_of("a\n")}));
    ASSERT_FALSE(tx.send(Write{bytes_of("b\n")}));
    ASSERT_FALSE(tx.send(Stop{}));
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(day_file(5), "a\nb\n");
    EXPECT_TRUE(tx.send(Stop{})) << "the receiver is gone once the thread has ended";
}

TEST_F(WriterThreadTest, LastSenderGoneWritesPendingBytes) {
    testing::internal::CaptureStderr();
    Sender<Action> tx = start(dir_ / "app.log");
    ASSERT_FALSE(tx.send(Write{bytes_of("tail\n")}));
    { Sender<Action> gone = std::move(tx); }
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(day_file(5), "tail\n");
}

TEST_F(WriterThreadTest, PendingBytesReachFileWithinTwoSeconds) {
    Sender<Action> tx = start(dir_ / "app.log");
    const auto sent = Clock::now();
    ASSERT_FALSE(tx.send(Write{bytes_of("p\n")}));
    flush_and_wait(tx);
    EXPECT_EQ(day_file(5), "p\n") << "the reply comes only once the bytes are in the file";
    ASSERT_FALSE(tx.send(Write{bytes_of("q\n")}));
    while (day_file(5) != "p\nq\n" && Clock::now() - sent < milliseconds(3000)) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(day_file(5), "p\nq\n");
    EXPECT_LT(Clock::now() - sent, milliseconds(2500));
}

TEST_F(WriterThreadTest, DateChangeSwitchesFilesAlsoBackwards) {
    Sender<Action> tx = start(dir_ / "app.log");
    ASSERT_FALSE(tx.send(Write{bytes_of("one\n")}));
    flush_and_wait(tx);

    TEST_DAY = 6;
    std::this_thread::sleep_for(milliseconds(1100));  // a check is due by the next message at latest
    flush_and_wait(tx);
    ASSERT_FALSE(tx.send(Write{bytes_of("two\n")}));
    flush_and_wait(tx);

    TEST_DAY = 5;
    std::this_thread::sleep_for(milliseconds(1100));
    flush_and_wait(tx);
    ASSERT_FALSE(tx.send(Write{bytes_of("three\n")}));
    ASSERT_FALSE(tx.send(Stop{}));
    thread_.join();

    EXPECT_EQ(day_file(5), "one\nthree\n");
    EXPECT_EQ(day_file(6), "two\n");
}

TEST_F(WriterThreadTest, AckWaiterThatGaveUpIsNoError) {
    testing::internal::CaptureStderr();
    Sender<Action> tx = start(dir_ / "app.log");
    {
        auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        { AckReceiver gone = std::move(ack_rx); }
        ASSERT_FALSE(tx.send(FlushAck{std::move(ack_tx)}));
    }
    ASSERT_FALSE(tx.send(Write{bytes_of("still here\n")}));
    ASSERT_FALSE(tx.send(Stop{}));
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(day_file(5), "still here\n");
}

enum class Trigger { Open, Direct, FlushAck, LastSenderGone };

struct ExitCase {
    const char* name;
    std::optional<std::string> relative_path;  // under the test directory; none: fake sink with `script`
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
        fake_sinks({c.script});
        tx = start(std::nullopt, open_fake);
        ASSERT_FALSE(tx.send(Write{bytes_of(std::string(c.trigger == Trigger::Direct ? C : 10, 'z'))}));
    }
    if (c.trigger == Trigger::FlushAck) {
        auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        ASSERT_FALSE(tx.send(FlushAck{std::move(ack_tx)}));
        EXPECT_EQ(ack_rx.recv_until(Clock::now() + milliseconds(5000)).status, RecvStatus::Disconnected)
            << "a failed flush drops the ack sender unanswered";
    }
    if (c.trigger == Trigger::LastSenderGone) {
        Sender<Action> gone = std::move(tx);
    }
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    if (c.trigger != Trigger::LastSenderGone) {
        EXPECT_TRUE(tx.send(Write{bytes_of("lost\n")})) << "later sends fail as disconnected";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writer, WriterThreadExit,
    testing::Values(
        ExitCase{"DirectoryUnderRegularFile", "plain/sub/app.log", {}, Trigger::Open,
                 "error Not a directory (os error 20)\n"},
        ExitCase{"NulInPath", std::string("a\0b.log", 7), {}, Trigger::Open,
                 "error file name contained an unexpected NUL byte\n"},
        ExitCase{"ZeroByteWriteOut", std::nullopt, {Step{0}}, Trigger::FlushAck,
                 "error failed to write the buffered data\n"},
        ExitCase{"ZeroByteDirectWrite", std::nullopt, {Step{0}}, Trigger::Direct,
                 "error failed to write whole buffer\n"},
        ExitCase{"OsErrorOnFlush", std::nullopt, {Step{2}, Step{0, ENOSPC}}, Trigger::FlushAck,
                 "error No space left on device (os error 28)\n"},
        // Lost lines are reported here too, not swallowed by the close.
        ExitCase{"OsErrorAfterLastSenderGone", std::nullopt, {Step{0, EIO}}, Trigger::LastSenderGone,
                 "error Input/output error (os error 5)\n"}),
    [](const testing::TestParamInfo<ExitCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(WriterThreadTest, FailedWriteOutOfOldDayIsReported) {
    fake_sinks({{Step{0, EIO}}, {}});
    testing::internal::CaptureStderr();
    Sender<Action> tx = start(dir_ / "app.log", open_fake);
    TEST_DAY = 6;
    ASSERT_FALSE(tx.send(Write{bytes_of("one\n")}));
    std::this_thread::sleep_for(milliseconds(1200));  // the check at the first time-out rotates
    (void)tx.send(Stop{});
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error Input/output error (os error 5)\n");
    EXPECT_EQ(FAKE_OPENS, 2u);
    EXPECT_EQ(FAKE_LOGS[1]->data, "") << "the old day's lines never go to the new file";
}

}  // namespace
}  // namespace tarnwick
