#include "lib/shared_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lib/core_hooks.hpp"
#include "lib/producer.hpp"
#include "lib/rotation.hpp"
#include "temp_dir.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// A renderer that appends `text` as the whole line.
auto append_text(std::string_view text) {
    return [text](Bytes& batch, TimestampCache&, WallTime, LineStyle) {
        batch.append(text);
        return true;
    };
}

class SharedWriterTest : public TempDirTest {
protected:
    void TearDown() override {
        set_core_hooks(nullptr);
        if (Producer* p = existing_producer()) p->discard_pending();
        TempDirTest::TearDown();
    }
    WriterConfigRef config(const char* name) const {
        return std::make_shared<const WriterConfig>(WriterConfig{(dir_ / name).string(), {}, 10ms});
    }
    std::string contents(const char* name) const {
        return read_file(dated_file_name((dir_ / name).string(), local_date_now()));
    }
    // This thread's producer with `text` pending for `w`.
    static Producer& pending_for(const std::shared_ptr<SharedWriter>& w, std::string_view text) {
        Producer& p = existing_producer() ? *existing_producer() : create_producer();
        EXPECT_EQ(p.append(w, 1'000, append_text(text)), Outcome::Done);
        return p;
    }
    // Starts writer threads with `spawn`, or opens destinations with `open`, until the test ends.
    void set_hooks(WriterThread (*spawn)(Context), OpenDestination open = nullptr) {
        hooks_ = default_core_hooks();
        if (spawn) hooks_.spawn_writer = spawn;
        if (open) hooks_.open_destination = std::move(open);
        set_core_hooks(&hooks_);
    }

    CoreHooks hooks_;
};

// A batch holding `text`.
Bytes bytes_of(std::string_view text) {
    Bytes b;
    b.append(text);
    return b;
}

WriterThread refuse_spawn(Context) { throw std::runtime_error("refused"); }

TEST_F(SharedWriterTest, RefusedThreadStartFailsOnlyThatCall) {
    set_hooks(&refuse_spawn);
    EXPECT_THROW((void)shared_writer(config("a.log")), std::runtime_error);
    set_core_hooks(nullptr);
    auto writer = shared_writer(config("a.log"));  // the registry is not poisoned
    pending_for(writer, "after refusal\n");
    writer.reset();
    EXPECT_EQ(contents("a.log"), "after refusal\n");
}

// A writer that was stopped, or whose thread ended on an I/O error, is never handed out again.
TEST_F(SharedWriterTest, StoppedOrFailedWriterIsReplaced) {
    auto a = shared_writer(config("s.log"));
    a->stop();
    auto b = shared_writer(config("s.log"));
    EXPECT_NE(a, b);
    EXPECT_TRUE(b->accepting());

    write_file(dir_ / "plain", "a file where a directory should be");
    auto failing = shared_writer(config("plain/f.log"));                     // its thread reports the error and ends
    (void)flush_and_wait({failing}, std::chrono::steady_clock::now() + 5s);  // answered by the ending
    EXPECT_FALSE(failing->accepting());
    std::filesystem::remove(dir_ / "plain");
    auto retry = shared_writer(config("plain/f.log"));
    EXPECT_NE(retry, failing);
    pending_for(retry, "retried\n");
    retry.reset();
    EXPECT_EQ(contents("plain/f.log"), "retried\n");
}

// A slow pipe: each write takes at most 4 KiB and some time, so writers that overlapped would mix.
std::mutex PIPE_MUTEX;
std::string PIPE;
class SlowPipe final : public Destination {
public:
    IoResult<std::size_t> write(const char* data, std::size_t size) override {
        std::this_thread::sleep_for(50us);
        const std::size_t n = std::min<std::size_t>(size, 4096);
        std::lock_guard lock(PIPE_MUTEX);
        PIPE.append(data, n);
        return n;
    }
};
IoResult<BufferedWriter> open_slow_pipe(const std::optional<std::string>&, const Date&) {
    return BufferedWriter(std::make_unique<SlowPipe>());
}

// A new writer of a destination starts writing only once the previous one has written everything,
// so the old writer's last lines all come before the new writer's first, none torn apart.
TEST_F(SharedWriterTest, ANewWriterWaitsForThePreviousOneToFinish) {
    set_hooks(nullptr, open_slow_pipe);
    auto old_writer = shared_writer(config("pipe"));
    std::string old_lines;
    for (int i = 0; i < 20'000; ++i) old_lines += "an old line\n";
    Bytes batch = bytes_of(old_lines);
    ASSERT_TRUE(old_writer->hand_over(batch, Wake::Now, std::nullopt));
    std::thread stopper([&] { old_writer->stop(); });  // returns once the old thread has written all
    while (old_writer->accepting()) std::this_thread::yield();
    auto new_writer = shared_writer(config("pipe"));
    ASSERT_NE(new_writer, old_writer);
    Bytes line = bytes_of("new line\n");
    ASSERT_TRUE(new_writer->hand_over(line, Wake::Now, std::nullopt));
    new_writer.reset();
    stopper.join();
    EXPECT_TRUE(PIPE == old_lines + "new line\n") << "the writers overlapped";
}

// A pipe nobody reads until the gate opens.
std::mutex GATE_MUTEX;
std::condition_variable GATE_OPENED;
bool GATE_OPEN = false;
std::string GATED;
class GatedPipe final : public Destination {
public:
    IoResult<std::size_t> write(const char* data, std::size_t size) override {
        std::unique_lock lock(GATE_MUTEX);
        GATE_OPENED.wait(lock, [] { return GATE_OPEN; });
        GATED.append(data, size);
        return size;
    }
};
IoResult<BufferedWriter> open_gated_pipe(const std::optional<std::string>&, const Date&) {
    return BufferedWriter(std::make_unique<GatedPipe>());
}

// A stop that gives up on a destination taking nothing lets the thread go; once the destination takes
// data, that thread still writes everything it was sent before the destination's next writer begins.
TEST_F(SharedWriterTest, AStopThatGivesUpLetsTheThreadFinishBeforeTheNextWriter) {
    set_hooks(nullptr, open_gated_pipe);
    GATE_OPEN = false;
    GATED.clear();
    auto old_writer = shared_writer(config("gated"));
    Bytes batch = bytes_of("old line\n");
    ASSERT_TRUE(old_writer->hand_over(batch, Wake::Now, std::nullopt));
    old_writer->stop(std::chrono::steady_clock::now() + 50ms);
    old_writer.reset();  // already stopped: returns at once
    auto new_writer = shared_writer(config("gated"));
    Bytes line = bytes_of("new line\n");
    ASSERT_TRUE(new_writer->hand_over(line, Wake::Now, std::nullopt));
    {
        std::lock_guard lock(GATE_MUTEX);
        GATE_OPEN = true;
    }
    GATE_OPENED.notify_all();
    new_writer.reset();
    EXPECT_EQ(GATED, "old line\nnew line\n");
}

TEST_F(SharedWriterTest, LinesOfADestroyedWriterReachALiveOneForTheSameDestination) {
    auto w = shared_writer(config("o.log"));
    Producer& p = pending_for(w, "orphan\n");
    std::thread([w = std::move(w)]() mutable { w.reset(); }).join();  // the last owner, elsewhere
    ASSERT_TRUE(p.has_pending());
    EXPECT_EQ(p.hand_over_pending(), Outcome::Done);
    EXPECT_EQ(contents("o.log"), "orphan\n");
}

// At process exit every thread's lines are handed over while other threads may be logging or
// ending and handing over their own: each line must arrive exactly once.
TEST_F(SharedWriterTest, HandingOverEveryThreadsLinesRacesSafelyWithThreadsLogging) {
    constexpr int THREADS = 8, LINES = 200;
    auto w = shared_writer(config("all.log"));
    std::atomic<int> ready = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([&w, &ready] {
            Producer& p = create_producer();
            for (int n = 0; n < LINES; ++n) ASSERT_EQ(p.append(w, 1'000, append_text("line\n")), Outcome::Done);
            ready.fetch_add(1);
        });
    }
    while (ready.load() < THREADS / 2) std::this_thread::yield();
    hand_over_all_pending(std::chrono::steady_clock::now() + 5s);
    for (std::thread& t : threads) t.join();
    w.reset();
    std::string expected;
    for (int i = 0; i < THREADS * LINES; ++i) expected += "line\n";
    EXPECT_EQ(contents("all.log"), expected);
}

}  // namespace
}  // namespace tarnwick
