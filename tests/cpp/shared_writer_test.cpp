#include "python/shared_writer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "lib/producer.hpp"
#include "lib/rotation.hpp"

namespace tarnwick::python {
namespace {

namespace fs = std::filesystem;

class SharedWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tarnwick-sw-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        SPAWN_WRITER = &WriterThread::spawn;
        if (Producer* p = existing_producer()) p->discard_pending();
        fs::remove_all(dir_);
    }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::string contents(const char* name) const {
        std::ifstream in(dated_file_name(path(name), local_date_now()));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static Bytes lines(std::string_view text) {
        Bytes b;
        b.append(text);
        return b;
    }

    fs::path dir_;
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
    ASSERT_TRUE(writer);
    writer->hand_off(lines("after refusal\n"));
    writer.reset();
    EXPECT_EQ(contents("a.log"), "after refusal\n");
}

TEST_F(SharedWriterTest, OneWriterPerPathTextUntilReleased) {
    auto a = shared_writer(path("x.log"));
    auto b = shared_writer(path("x.log"));
    auto c = shared_writer(dir_.string() + "/./x.log");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    a.reset();
    b.reset();
    auto again = shared_writer(path("x.log"));
    EXPECT_EQ(again.use_count(), 1);
    again->hand_off(lines("one\n"));
    c->hand_off(lines("two\n"));
    again.reset();
    c.reset();
    EXPECT_EQ(contents("x.log"), "one\ntwo\n");
}

TEST_F(SharedWriterTest, StopIsIdempotentAndLaterLinesAreDropped) {
    auto w = shared_writer(path("s.log"));
    w->hand_off(lines("kept\n"));
    w->stop();
    w->stop();
    w->hand_off(lines("dropped\n"));
    auto [ack_sender, ack_receiver] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
    EXPECT_FALSE(w->request_flush(std::move(ack_sender)));
    EXPECT_EQ(ack_receiver.recv_until(std::chrono::steady_clock::now()).status, RecvStatus::Disconnected);
    EXPECT_EQ(contents("s.log"), "kept\n");
}

TEST_F(SharedWriterTest, DestroyingTheWriterHandsOverThisThreadsPendingLines) {
    auto w = shared_writer(path("d.log"));
    Producer& p = this_thread_producer();
    p.adopt(w, w->destination);
    p.batch.append(std::string_view("pending\n"));
    p.pending = 1;
    w.reset();
    EXPECT_TRUE(p.batch.empty());
    EXPECT_EQ(p.owner, nullptr);
    EXPECT_EQ(contents("d.log"), "pending\n");
}

TEST_F(SharedWriterTest, LinesOfADestroyedWriterReachALiveOneForTheSameDestination) {
    auto w = shared_writer(path("o.log"));
    Producer& p = this_thread_producer();
    p.adopt(w, w->destination);
    p.batch.append(std::string_view("orphan\n"));
    p.pending = 1;
    std::thread([w = std::move(w)]() mutable { w.reset(); }).join();  // the last owner, elsewhere
    ASSERT_FALSE(p.batch.empty());
    p.hand_over_pending();
    EXPECT_EQ(contents("o.log"), "orphan\n");
}

TEST_F(SharedWriterTest, SwitchingWritersHandsLinesToTheirOwnDestination) {
    auto a = shared_writer(path("a.log"));
    auto b = shared_writer(path("b.log"));
    Producer& p = this_thread_producer();
    p.adopt(a, a->destination);
    p.batch.append(std::string_view("for a\n"));
    p.adopt(b, b->destination);
    p.batch.append(std::string_view("for b\n"));
    p.hand_over_pending();
    a.reset();
    b.reset();
    EXPECT_EQ(contents("a.log"), "for a\n");
    EXPECT_EQ(contents("b.log"), "for b\n");
}

TEST(ColorDecision, ModesAndEnvironment) {
    EXPECT_FALSE(decide_color(ColorMode::Off, true));
    EXPECT_TRUE(decide_color(ColorMode::Always, false));
    EXPECT_FALSE(decide_color(ColorMode::Auto, false));
    setenv("FORCE_COLOR", "1", 1);
    EXPECT_TRUE(decide_color(ColorMode::Auto, true));
    EXPECT_FALSE(decide_color(ColorMode::Auto, false));
    setenv("NO_COLOR", "1", 1);
    EXPECT_FALSE(decide_color(ColorMode::Auto, true));
    unsetenv("NO_COLOR");
    unsetenv("FORCE_COLOR");
}

}  // namespace
}  // namespace tarnwick::python
