#include "lib/writer_thread.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "lib/core_hooks.hpp"
#include "temp_dir.hpp"

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
    std::deque<Step> script;  // once used up, `room` bytes more are accepted, then ENOSPC
    std::string data;
    std::vector<std::size_t> offered;
    std::atomic<std::size_t> room = SIZE_MAX;  // the test frees space while the writer runs
    bool can_unwrite = false;                  // a file can take its last bytes back; a pipe cannot

    void reset(std::deque<Step> steps = {}) {
        script = std::move(steps);
        data.clear();
        offered.clear();
        room = SIZE_MAX;
        can_unwrite = false;
    }
};

class FakeSink final : public Destination {
public:
    explicit FakeSink(SinkLog& log) : log_(log) {}
    IoResult<std::size_t> write(const char* data, std::size_t size) override {
        log_.offered.push_back(size);
        Step step = log_.script.empty() ? Step{log_.room} : log_.script.front();
        if (!log_.script.empty()) {
            log_.script.pop_front();
        } else if (step.limit == 0) {
            step.error = ENOSPC;
        } else if (step.limit != SIZE_MAX) {
            log_.room -= std::min(size, step.limit);
        }
        if (step.error != 0) return IoError::os(step.error);
        log_.data.append(data, std::min(size, step.limit));
        return std::min(size, step.limit);
    }
    bool unwrite(std::size_t n) override {
        if (!log_.can_unwrite) return false;
        log_.data.resize(log_.data.size() - n);
        return true;
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
    EXPECT_EQ(status->text(), "Input/output error");
    EXPECT_EQ(writer.pending(), 6u);
    ASSERT_FALSE(writer.write_out());
    EXPECT_EQ(log.data, "hello world\n");
}

// A file takes back the torn end of a failed write, but never bytes that another writer appended
// after it.
TEST(WriterBuffer, FileTakesBackOnlyItsOwnLastBytes) {
    char name[] = "/tmp/tarnwick-unwrite-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fcntl(fd, F_SETFL, O_APPEND), 0);
    FileDestination file(fd);
    const auto text = [&] { return read_file(name); };
    ASSERT_EQ(std::get<std::size_t>(file.write("one\ntw", 6)), 6u);
    EXPECT_TRUE(file.unwrite(2));
    EXPECT_EQ(text(), "one\n");
    ASSERT_EQ(std::get<std::size_t>(file.write("fi", 2)), 2u);
    std::ofstream(name, std::ios::app) << "x\n";
    EXPECT_FALSE(file.unwrite(2));
    EXPECT_EQ(text(), "one\nfix\n");
    ::unlink(name);
}

// Thread tests move midnight through TEST_DAY. FAKE_LOG is set before the spawn, read after the join.
std::atomic<int> TEST_DAY{5};
Date test_today() { return Date{2026, 1, TEST_DAY.load()}; }
SinkLog FAKE_LOG;
std::atomic<int> FAKE_OPEN_ERROR{0};  // while set, opening fails with it
IoResult<BufferedWriter> open_fake(const std::optional<std::string>&, const Date&) {
    if (const int error = FAKE_OPEN_ERROR.load()) return IoError::os(error);
    return BufferedWriter(std::make_unique<FakeSink>(FAKE_LOG));
}
constexpr auto CHECK_INTERVAL = 20ms;  // the writer's periodic write-out and date check

class WriterThreadTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        TEST_DAY = 5;
        FAKE_LOG.reset();
        FAKE_OPEN_ERROR = 0;
    }
    void TearDown() override {
        thread_.join();
        set_core_hooks(nullptr);
        TempDirTest::TearDown();
    }
    Sender<Action> start(std::optional<std::string> path, OpenDestination open = rotate) {
        auto [tx, rx] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
        hooks_ = default_core_hooks();
        hooks_.today = test_today;
        hooks_.open_destination = std::move(open);
        set_core_hooks(&hooks_);
        thread_ = WriterThread::spawn(Context{std::move(rx), std::move(path), test_today(), CHECK_INTERVAL});
        return std::move(tx);
    }
    std::string day_file(int day) const { return read_file(dir_ / ("app_2026010" + std::to_string(day) + ".log")); }
    static void flush_and_wait(const Sender<Action>& tx) { ASSERT_TRUE(flushed(tx)); }
    // Whether a flush was acknowledged; one that cannot write everything out is dropped unanswered.
    static bool flushed(const Sender<Action>& tx) {
        auto [ack_tx, ack_rx] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        EXPECT_EQ(tx.send(FlushAck{std::move(ack_tx)}), SendStatus::Sent);
        return ack_rx.recv_until(Clock::now() + 5s).status == RecvStatus::Message;
    }

    WriterThread thread_;
    CoreHooks hooks_;
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

// A full disk is waited out: the lines held meanwhile are written once there is room again, the
// unfinished line is taken back (a file) or finished (a pipe), lines that found no room in the
// buffer are counted, and one line on standard error tells of it. A flush is not acknowledged
// while lines wait.
class WriterOutage : public WriterThreadTest, public testing::WithParamInterface<bool> {};

TEST_P(WriterOutage, FullDiskIsWaitedOutAndCounted) {
    FAKE_LOG.can_unwrite = GetParam();
    FAKE_LOG.room = 3;
    testing::internal::CaptureStderr();  // no ASSERT until it is read: a second capture would abort
    Sender<Action> tx = start(std::nullopt, open_fake);
    EXPECT_EQ(tx.send(write_of("a\nbcd\n")), SendStatus::Sent);
    EXPECT_FALSE(flushed(tx));
    EXPECT_EQ(FAKE_LOG.data, GetParam() ? "a\n" : "a\nb");
    const std::string big(C / 16 - 1, 'x');  // 15 of these fit beside the pending bytes
    for (int i = 0; i < 20; ++i) EXPECT_EQ(tx.send(write_of(big + "\n")), SendStatus::Sent);
    EXPECT_FALSE(flushed(tx));
    FAKE_LOG.room = SIZE_MAX;
    EXPECT_TRUE(flushed(tx));
    EXPECT_EQ(tx.send(write_of("z\n")), SendStatus::Sent);
    EXPECT_EQ(tx.send(Stop{}), SendStatus::Sent);
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error cannot write standard output: No space left on device; 5 lines lost\n");
    std::string expected = "a\nbcd\n";
    for (int i = 0; i < 15; ++i) expected += big + "\n";
    EXPECT_TRUE(FAKE_LOG.data == expected + "z\n") << "lines lost, reordered or torn";
}

INSTANTIATE_TEST_SUITE_P(Writer, WriterOutage, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& c) { return c.param ? "file" : "pipe"; });

// A destination that cannot be made for want of space is tried again; lines sent meanwhile are lost
// and counted.
TEST_F(WriterThreadTest, OpenIsRetriedWhenSpaceMayReturn) {
    FAKE_OPEN_ERROR = ENOSPC;
    testing::internal::CaptureStderr();
    Sender<Action> tx = start(dir_ / "app.log", open_fake);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(tx.send(write_of("lost\n")), SendStatus::Sent);
    EXPECT_FALSE(flushed(tx));
    FAKE_OPEN_ERROR = 0;
    EXPECT_TRUE(flushed(tx));
    EXPECT_EQ(tx.send(write_of("kept\n")), SendStatus::Sent);
    EXPECT_EQ(tx.send(Stop{}), SendStatus::Sent);
    thread_.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error cannot open \"" + (dir_ / "app_20260105.log").string() +
                                                          "\": No space left on device; 3 lines lost\n");
    EXPECT_EQ(FAKE_LOG.data, "kept\n");
}

enum class Trigger { Open, Direct, FlushAck, LastSenderGone };
struct ExitCase {
    std::optional<std::string> relative_path;  // none: the fake sink following `script`
    std::deque<Step> script;
    Trigger trigger;
    std::string line;    // "{dir}" stands for the test's directory
    int open_error = 0;  // the fake open fails with it
};
class WriterThreadExit : public WriterThreadTest, public testing::WithParamInterface<ExitCase> {};

TEST_P(WriterThreadExit, ReportsOneLineAndDisconnects) {
    const ExitCase& c = GetParam();
    std::ofstream(dir_ / "plain") << "a regular file";
    testing::internal::CaptureStderr();
    Sender<Action> tx;
    if (c.open_error != 0) {
        FAKE_OPEN_ERROR = c.open_error;
        tx = start((dir_ / "").string() + *c.relative_path, open_fake);
    } else if (c.relative_path) {
        tx = start((dir_ / "").string() + *c.relative_path);
    } else {
        FAKE_LOG.reset(c.script);
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
    std::string line = c.line;
    if (const std::size_t at = line.find("{dir}"); at != std::string::npos) line.replace(at, 5, dir_.string());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
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
    ExitCase{"plain/sub/app.log", {}, Trigger::Open,
             "error cannot open \"{dir}/plain/sub/app_20260105.log\": Not a directory; writer stopped\n"},
    ExitCase{std::string("a\0b.log", 7), {}, Trigger::Open,
             "error cannot open \"{dir}/a\\u0000b_20260105.log\": the path contains a NUL byte; writer stopped\n"},
    ExitCase{"app.log", {}, Trigger::Open, "error cannot open \"{dir}/app_20260105.log\": Permission denied; writer stopped\n",
             EACCES},
    ExitCase{std::nullopt, {Step{0}}, Trigger::FlushAck, "error cannot write standard output: no bytes were written; writer stopped\n"},
    ExitCase{std::nullopt, {Step{0}}, Trigger::Direct, "error cannot write standard output: no bytes were written; writer stopped\n"},
    ExitCase{std::nullopt, {Step{2}, Step{0, EIO}}, Trigger::FlushAck, "error cannot write standard output: Input/output error; writer stopped\n"},
    ExitCase{std::nullopt, {Step{0, EIO}}, Trigger::LastSenderGone, "error cannot write standard output: Input/output error; writer stopped\n"}),
    exit_case_name);
// clang-format on

}  // namespace
}  // namespace tarnwick
