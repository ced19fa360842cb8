#include "lib/rotation.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
constexpr Date JAN5{2026, 1, 5};

struct NameCase {
    std::string configured;
    std::string file;
    std::string dir;  // "" when the file goes into the current directory
};

class RotationName : public testing::TestWithParam<NameCase> {};

TEST_P(RotationName, FileAndDirectoryForConfiguredPath) {
    const NameCase& c = GetParam();
    const std::string file = dated_file_name(c.configured, JAN5);
    EXPECT_EQ(file, c.file);
    EXPECT_EQ(path_parent(file), c.dir);
}

INSTANTIATE_TEST_SUITE_P(
    Rotation, RotationName,
    testing::Values(NameCase{"logs/app.log", "logs/app_20260105.log", "logs"},
                    NameCase{"app.log", "app_20260105.log", ""},
                    NameCase{"/srv/svc/run.txt", "/srv/svc/run_20260105.txt", "/srv/svc"},
                    NameCase{"logs/archive.tar.gz", "logs/archive.tar_20260105.gz", "logs"},
                    NameCase{"logs//app.log", "logs/app_20260105.log", "logs"},
                    NameCase{"logs/app", "logs/app_20260105.log", "logs"},
                    NameCase{"logs/.hidden", "logs/.hidden_20260105.log", "logs"},
                    NameCase{"logs/app.", "logs/app_20260105.", "logs"},
                    NameCase{"./app.log", "./app_20260105.log", "."},
                    NameCase{"logs/", "logs/_20260105.log", "logs"},
                    NameCase{"logs//app", "logs//app_20260105.log", "logs"},
                    NameCase{"app.log/", "app_20260105.log", ""},
                    NameCase{"", "_20260105.log", ""},
                    // beyond the basic table
                    NameCase{"logs/./app.log", "logs/app_20260105.log", "logs"},
                    NameCase{"logs/app.log/.", "logs/app_20260105.log", "logs"},
                    NameCase{"/app.log", "/app_20260105.log", "/"},
                    NameCase{"/", "/_20260105.log", "/"},
                    NameCase{".", "._20260105.log", ""},
                    NameCase{"logs/..", "logs/.._20260105.log", "logs"},
                    NameCase{"logs/..app", "logs/._20260105.app", "logs"}));

class Rotation : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnwick-rotation-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        old_mask_ = ::umask(022);
    }
    void TearDown() override {
        ::umask(old_mask_);
        fs::remove_all(dir_);
    }
    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    IoResult<BufferedWriter> open(const std::string& relative) {
        Context context{Receiver<Action>(), (dir_ / relative).string(), JAN5};
        return rotate(context);
    }
    static std::string error_text(const IoResult<BufferedWriter>& r) {
        const IoError* error = std::get_if<IoError>(&r);
        return error != nullptr ? error->text() : "no error";
    }

    fs::path dir_;
    mode_t old_mask_ = 0;
};

TEST_F(Rotation, CreatesMissingDirectoriesWithUmaskAppliedModes) {
    IoResult<BufferedWriter> r = open("a/b/c/app.log");
    ASSERT_TRUE(std::holds_alternative<BufferedWriter>(r)) << error_text(r);
    for (const char* d : {"a", "a/b", "a/b/c"}) {
        EXPECT_EQ(fs::status(dir_ / d).permissions(), fs::perms(0755)) << d;
    }
    EXPECT_EQ(fs::status(dir_ / "a/b/c/app_20260105.log").permissions(), fs::perms(0644));
    const auto& file = dynamic_cast<const FileDestination&>(*std::get<BufferedWriter>(r).destination());
    EXPECT_TRUE(::fcntl(file.fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(::fcntl(file.fd(), F_GETFL) & (O_ACCMODE | O_APPEND), O_WRONLY | O_APPEND);
}

TEST_F(Rotation, AppendsToExistingFileOfTheDay) {
    fs::create_directory(dir_ / "logs");
    std::ofstream(dir_ / "logs/app_20260105.log") << "earlier\n";
    for (const char* line : {"first\n", "second\n"}) {
        IoResult<BufferedWriter> r = open("logs/app.log");
        ASSERT_TRUE(std::holds_alternative<BufferedWriter>(r)) << error_text(r);
        ASSERT_FALSE(std::get<BufferedWriter>(r).write(line));
    }  // each writer writes its bytes out as it closes
    EXPECT_EQ(read(dir_ / "logs/app_20260105.log"), "earlier\nfirst\nsecond\n");
}

struct FailCase {
    const char* name;
    std::string relative;
    std::string text;
    const char* must_not_exist;
};

class RotationFailure : public Rotation, public testing::WithParamInterface<FailCase> {};

TEST_P(RotationFailure, ReportsErrorAndCreatesNothing) {
    const FailCase& c = GetParam();
    std::ofstream(dir_ / "plain") << "a regular file";
    fs::create_directory(dir_ / "taken_20260105.log");
    IoResult<BufferedWriter> r = open(c.relative);
    EXPECT_EQ(error_text(r), c.text);
    EXPECT_FALSE(fs::exists(dir_ / c.must_not_exist));
}

INSTANTIATE_TEST_SUITE_P(
    Rotation, RotationFailure,
    testing::Values(
        FailCase{"RegularFileAsDirectory", "plain/app.log", "File exists (os error 17)", "plain/app_20260105.log"},
        FailCase{"RegularFileAsAncestor", "plain/sub/app.log", "Not a directory (os error 20)", "plain/sub"},
        FailCase{"NulInDirectory", std::string("lo\0gs/x/app.log", 15), NUL_IN_PATH, "lo"},
        FailCase{"NulInFileName", std::string("a\0b.log", 7), NUL_IN_PATH, "a"},
        FailCase{"NamesADirectory", "taken", "Is a directory (os error 21)", "taken_20260105.log/x"}),
    [](const testing::TestParamInfo<FailCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tarnwick
