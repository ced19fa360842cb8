#include "lib/maintenance.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "lib/file_lock.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
constexpr Date MAR14{2026, 3, 14};

class Maintenance : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnwick-maintain-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void put(const std::string& name, const std::string& bytes = "line\n") const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.insert(e.path().filename().string());
        return out;
    }
    FileSet files() const { return FileSet((dir_ / "app.log").string()); }

    fs::path dir_;
};

// Everything of a day more than keep_days before today goes, by the date in the name, whatever
// its form; every other name stays. Closed files are compressed: earlier days, and today's parts
// below the highest; a leftover .tmp is redone. A delete that fails is told once.
TEST_F(Maintenance, RetentionAndCompressionTouchOnlyTheSetsFiles) {
    const std::set<std::string> others = {"other_20260301.log", "app_2026-03-01.log", "app_20260301.txt",
                                          "app_20260301.log.bak", "notes.txt", "xapp_20260301.log", "app_20260301.01.log"};
    for (const std::string& n : others) put(n);
    for (const char* n : {"app_20260310.log", "app_20260310.1.log.gz", "app_20260311.log.gz.tmp", "app_20260311.log",
                          "app_20260312.log", "app_20260312.log.gz.tmp", "app_20260313.log", "app_20260313.1.log",
                          "app_20260314.log", "app_20260314.1.log", "app_20260314.2.log"}) {
        put(n);
    }
    fs::create_directories(dir_ / "app_20260309.2.log" / "x");  // cannot be deleted
    std::ofstream(dir_ / "future_is_kept") << "";
    put("app_20260316.log");  // a later day (the clock went back): neither deleted nor compressed

    testing::internal::CaptureStderr();
    Reported reported;
    const FileOptions options{0, 2, true};
    const bool busy = maintain(files(), options, MAR14, reported);
    const bool busy_again = maintain(files(), options, MAR14, reported);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(busy);
    EXPECT_FALSE(busy_again);
    EXPECT_EQ(err, "error cannot delete \"" + (dir_ / "app_20260309.2.log").string() + "\": Is a directory; left in place\n");

    std::set<std::string> expected = others;
    expected.insert({"future_is_kept", "app_20260309.2.log", ".app.log.lock", "app_20260312.log.gz", "app_20260313.log.gz",
                     "app_20260313.1.log.gz", "app_20260314.log.gz", "app_20260314.1.log.gz", "app_20260314.2.log",
                     "app_20260316.log"});
    EXPECT_EQ(names(), expected);
}

// A file some writer still appends to is left, and the pass says so, until the writer lets go;
// without compress nothing is compressed, and without keep_days nothing deleted.
TEST_F(Maintenance, FilesInUseWaitAndOptionsAreHonoured) {
    put("app_20260301.log");
    put("app_20260313.log");
    Reported reported;
    EXPECT_FALSE(maintain(files(), FileOptions{}, MAR14, reported));
    EXPECT_FALSE(maintain(files(), FileOptions{0, std::nullopt, false}, MAR14, reported));
    EXPECT_EQ(names(), (std::set<std::string>{"app_20260301.log", "app_20260313.log"}));

    TrackedFd writer((dir_ / "app_20260313.log").string(), O_RDWR | O_APPEND);
    ASSERT_EQ(try_lock(writer.get(), false), LockResult::Locked);
    EXPECT_TRUE(maintain(files(), FileOptions{0, std::nullopt, true}, MAR14, reported));
    EXPECT_EQ(names(), (std::set<std::string>{"app_20260301.log.gz", "app_20260313.log"}));
    EXPECT_TRUE(maintain(files(), FileOptions{0, 0, false}, MAR14, reported)) << "deleting waits as well";
    EXPECT_EQ(names(), (std::set<std::string>{".app.log.lock", "app_20260313.log"}));
    writer.reset();
    EXPECT_FALSE(maintain(files(), FileOptions{0, 0, false}, MAR14, reported));
    EXPECT_EQ(names(), (std::set<std::string>{".app.log.lock"}));
}

}  // namespace
}  // namespace tarnwick
