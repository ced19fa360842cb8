#include "python/shared_writer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include "lib/producer.hpp"
#include "lib/rotation.hpp"

namespace tarnwick::python {
namespace {

namespace fs = std::filesystem;

class SharedWriterTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir_); }
    void TearDown() override {
        SPAWN_WRITER = &WriterThread::spawn;
        if (Producer* p = existing_producer()) p->discard_pending();
        fs::remove_all(dir_);
    }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::string contents(const char* name) const {
        std::stringstream s;
        s << std::ifstream(dated_file_name(path(name), local_date_now())).rdbuf();
        return s.str();
    }
    // This thread's producer with `text` pending for `w`.
    static Producer& pending_for(const std::shared_ptr<SharedWriter>& w, std::string_view text) {
        Producer& p = this_thread_producer();
        p.adopt(w, w->destination);
        p.batch.append(text);
        p.pending = 1;
        return p;
    }

    const fs::path dir_ = fs::temp_directory_path() /
        ("tarnwick-sw-" + std::to_string(getpid()) + "-" + testing::UnitTest::GetInstance()->current_test_info()->name());
};

WriterThread refuse_spawn(Context) {
    throw std::runtime_error("failed to spawn thread: Resource temporarily unavailable (os error 11)");
}

TEST_F(SharedWriterTest, RefusedThreadStartFailsOnlyThatCall) {
    SPAWN_WRITER = &refuse_spawn;
    try {
        (void)shared_writer(path("a.log"));
        FAIL() << "expected the spawn failure";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("failed to spawn thread", 0), 0u);
    }
    SPAWN_WRITER = &WriterThread::spawn;
    auto writer = shared_writer(path("a.log"));  // the registry is not poisoned
    pending_for(writer, "after refusal\n");
    writer.reset();
    EXPECT_EQ(contents("a.log"), "after refusal\n");
}

TEST_F(SharedWriterTest, DestroyingTheWriterHandsOverThisThreadsPendingLines) {
    auto w = shared_writer(path("d.log"));
    Producer& p = pending_for(w, "pending\n");
    w.reset();
    EXPECT_TRUE(p.batch.empty());
    EXPECT_EQ(p.owner, nullptr);
    EXPECT_EQ(contents("d.log"), "pending\n");
}

TEST_F(SharedWriterTest, LinesOfADestroyedWriterReachALiveOneForTheSameDestination) {
    auto w = shared_writer(path("o.log"));
    Producer& p = pending_for(w, "orphan\n");
    std::thread([w = std::move(w)]() mutable { w.reset(); }).join();  // the last owner, elsewhere
    ASSERT_FALSE(p.batch.empty());
    p.hand_over_pending();
    EXPECT_EQ(contents("o.log"), "orphan\n");
}

TEST_F(SharedWriterTest, SwitchingWritersHandsLinesToTheirOwnDestination) {
    auto a = shared_writer(path("a.log"));
    auto b = shared_writer(path("b.log"));
    pending_for(a, "for a\n");
    pending_for(b, "for b\n").hand_over_pending();
    a.reset();
    b.reset();
    EXPECT_EQ(contents("a.log"), "for a\n");
    EXPECT_EQ(contents("b.log"), "for b\n");
}

// At process exit every thread's lines are handed over, while other threads may be ending and
// handing over their own: each line must arrive exactly once.
TEST_F(SharedWriterTest, HandingOverEveryThreadsLinesRacesSafelyWithThreadsEnding) {
    constexpr int THREADS = 8;
    auto w = shared_writer(path("all.log"));
    std::atomic<int> ready = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([&w, &ready] {
            pending_for(w, "line\n");
            ready.fetch_add(1);
        });
    }
    while (ready.load() < THREADS) std::this_thread::yield();
    hand_over_all_pending(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    for (std::thread& t : threads) t.join();
    w.reset();
    std::string expected;
    for (int i = 0; i < THREADS; ++i) expected += "line\n";
    EXPECT_EQ(contents("all.log"), expected);
}

}  // namespace
}  // namespace tarnwick::python
