#include "lib/rotation.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "lib/local_date.hpp"
#include "temp_dir.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
constexpr Date JAN5{2026, 1, 5};

// Dated file names, and the directory each goes into ("": the current one), for every kind of configured path.
TEST(RotationName, FileAndDirectoryForConfiguredPath) {
    // clang-format off
    const struct { std::string configured, file, dir; } table[] = {
        {"logs/app.log", "logs/app_20260105.log", "logs"},
        {"app.log", "app_20260105.log", ""},
        {"/srv/svc/run.txt", "/srv/svc/run_20260105.txt", "/srv/svc"},
        {"logs/archive.tar.gz", "logs/archive.tar_20260105.gz", "logs"},
        {"logs//app.log", "logs/app_20260105.log", "logs"},
        {"logs/app", "logs/app_20260105.log", "logs"},
        {"logs/.hidden", "logs/.hidden_20260105.log", "logs"},
        {"logs/app.", "logs/app_20260105.", "logs"},
        {"./app.log", "./app_20260105.log", "."},
        {"logs/", "logs/_20260105.log", "logs"},
        {"logs//app", "logs//app_20260105.log", "logs"},
        {"app.log/", "app_20260105.log", ""},
        {"", "_20260105.log", ""}};
    // clang-format on
    for (const auto& c : table) {
        const std::string file = dated_file_name(c.configured, JAN5);
        EXPECT_EQ(file, c.file) << c.configured;
        EXPECT_EQ(path_parent(file), c.dir) << c.configured;
    }
}

class Rotation : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        old_mask_ = ::umask(022);
    }
    void TearDown() override {
        ::umask(old_mask_);
        TempDirTest::TearDown();
    }
    IoResult<BufferedWriter> open(const std::string& relative) { return rotate((dir_ / relative).string(), JAN5); }
    static std::string error_text(const IoResult<BufferedWriter>& r) {
        const IoError* error = std::get_if<IoError>(&r);
        return error != nullptr ? error->text() : "no error";
    }

    mode_t old_mask_ = 0;
};

TEST_F(Rotation, CreatesMissingDirectoriesWithUmaskAppliedModes) {
    IoResult<BufferedWriter> r = open("a/b/c/app.log");
    ASSERT_TRUE(std::holds_alternative<BufferedWriter>(r)) << error_text(r);
    for (const char* d : {"a", "a/b", "a/b/c"}) EXPECT_EQ(fs::status(dir_ / d).permissions(), fs::perms(0755)) << d;
    EXPECT_EQ(fs::status(dir_ / "a/b/c/app_20260105.log").permissions(), fs::perms(0644));
    const auto& file = dynamic_cast<const FileDestination&>(*std::get<BufferedWriter>(r).destination());
    EXPECT_TRUE(::fcntl(file.fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(::fcntl(file.fd(), F_GETFL) & (O_ACCMODE | O_APPEND), O_WRONLY | O_APPEND);
}

// Short names matter: a name short enough to live inside its string object once lost its bytes
// when the string was moved, so only the first missing level was made.
TEST_F(Rotation, CreatesEveryMissingLevel) {
    const fs::path old_cwd = fs::current_path();
    fs::current_path(dir_);
    int n = 0;
    for (const int levels : {1, 2, 3, 5}) {
        for (const std::string piece : {"d", "a-directory-name-longer-than-any-inline-string"}) {
            for (const bool absolute : {false, true}) {
                std::string relative;
                for (int i = 0; i < levels; ++i) relative += piece + std::to_string(n) + "_" + std::to_string(i) + "/";
                ++n;
                const std::string configured = absolute ? (dir_ / relative).string() + "app.log" : relative + "app.log";
                const IoResult<BufferedWriter> r = rotate(configured, JAN5);
                EXPECT_EQ(error_text(r), "no error") << configured;
                EXPECT_TRUE(fs::is_regular_file(dir_ / relative / "app_20260105.log")) << configured;
            }
        }
    }
    fs::current_path(old_cwd);
}

TEST_F(Rotation, FailuresCreateNothing) {
    std::ofstream(dir_ / "plain") << "a regular file";
    fs::create_directory(dir_ / "taken_20260105.log");
    // clang-format off
    const struct { std::string relative, text, must_not_exist; } table[] = {
        {"plain/app.log", "File exists", "plain/app_20260105.log"},
        {"plain/sub/app.log", "Not a directory", "plain/sub"},
        {std::string("lo\0gs/x/app.log", 15), "the path contains a NUL byte", "lo"},
        {"taken", "Is a directory", "taken_20260105.log/x"}};
    // clang-format on
    for (const auto& c : table) {
        EXPECT_EQ(error_text(open(c.relative)), c.text) << c.relative;
        EXPECT_FALSE(fs::exists(dir_ / c.must_not_exist)) << c.relative;
    }
}

// A file that a writer left with an unfinished line (a full disk, a killed process) is continued on
// a new line, so the next record is not glued onto the torn one; a line that another writer was
// still writing at the open is not cut in two.
TEST_F(Rotation, ContinuesATornFileOnANewLine) {
    // clang-format off
    const struct { std::string before, meanwhile, after; } table[] = {
        {"", "", "x\n"}, {"a\n", "", "a\nx\n"}, {"tim", "", "tim\nx\n"}, {"tim", "e\n", "time\nx\n"}};
    // clang-format on
    const fs::path file = dir_ / "app_20260105.log";
    for (const auto& c : table) {
        write_file(file, c.before);
        {
            IoResult<BufferedWriter> r = open("app.log");
            ASSERT_TRUE(std::holds_alternative<BufferedWriter>(r)) << error_text(r);
            write_file(file, c.meanwhile, std::ios::app);
            ASSERT_FALSE(std::get<BufferedWriter>(r).write("x\n"));
        }
        EXPECT_EQ(read_file(file), c.after) << c.before << " + " << c.meanwhile;
    }
}

// Times whose year the C library still gives (as years since 1900) but an int cannot hold once 1900
// is added: the middle of that span, and the last second it has, whatever the time zone.
TEST(LocalDate, YearBeyondIntGivesTheFallbackDate) {
    for (const std::time_t t : {std::time_t{67768007769532800}, std::time_t{67768036191676799}}) {
        EXPECT_EQ(local_date(t), (Date{1970, 1, 1})) << t;
    }
}

}  // namespace
}  // namespace tarnwick
