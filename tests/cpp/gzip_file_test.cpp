#include "lib/gzip_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <string>

#include "lib/file_lock.hpp"
#include "temp_dir.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

class GzipFile : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        file_ = (dir_ / "app_20260313.log").string();
    }
    // Everything a gzip reader gets out of `path`, every member in turn (as zcat does).
    static std::string unzip(const std::string& path) {
        gzFile in = gzopen(path.c_str(), "rb");
        EXPECT_NE(in, nullptr);
        if (in == nullptr) return {};
        std::string out;
        char buffer[4096];
        int n = 0;
        while ((n = gzread(in, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
        EXPECT_EQ(n, 0) << "a damaged stream";
        gzclose(in);
        return out;
    }
    static CompressOutcome outcome(const IoResult<CompressOutcome>& r) {
        if (const IoError* e = std::get_if<IoError>(&r)) ADD_FAILURE() << e->text();
        return std::holds_alternative<CompressOutcome>(r) ? std::get<CompressOutcome>(r) : CompressOutcome::Gone;
    }

    std::string file_;
};

// The compressed file gives back exactly the original bytes (several chunks of them, so every
// deflate path is taken), and the original is gone.
TEST_F(GzipFile, RoundTripsAndDeletesTheOriginal) {
    std::string lines;
    for (int i = 0; lines.size() < 700'000; ++i)
        lines += "time=2026-03-13 level=info msg=\"record " + std::to_string(i * 7919 % 100003) + "\"\n";
    for (const std::string& bytes : {std::string(), lines}) {
        write_file(file_, bytes);
        EXPECT_EQ(outcome(compress_file(file_)), CompressOutcome::Done);
        EXPECT_FALSE(fs::exists(file_));
        EXPECT_FALSE(fs::exists(file_ + ".gz.tmp"));
        EXPECT_TRUE(unzip(file_ + ".gz") == bytes) << bytes.size() << " bytes";
        fs::remove(file_ + ".gz");
    }
    EXPECT_EQ(outcome(compress_file(file_)), CompressOutcome::Gone);
}

// A crash between the rename and the delete leaves both files: the original is deleted, the .gz
// kept as it is. A .gz of other lines (the same day logged again after the clock went back) is
// kept in front of the new member, never replaced.
TEST_F(GzipFile, ExistingGzIsNeverLost) {
    write_file(file_, "first\n");
    ASSERT_EQ(outcome(compress_file(file_)), CompressOutcome::Done);
    const std::string first_gz = read_file(file_ + ".gz");
    write_file(file_, "first\n");
    EXPECT_EQ(outcome(compress_file(file_)), CompressOutcome::Done);
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_EQ(read_file(file_ + ".gz"), first_gz) << "the crash's leftover is dropped, not added again";
    write_file(file_, "second\n");
    EXPECT_EQ(outcome(compress_file(file_)), CompressOutcome::Done);
    EXPECT_EQ(unzip(file_ + ".gz"), "first\nsecond\n");
}

// A .tmp that a crash left is removed; one whose compression is under way (its original held
// exclusively) is not.
TEST_F(GzipFile, StaleTmpGoesLiveTmpStays) {
    write_file(file_, "lines\n");
    write_file(file_ + ".gz.tmp", "half a gzip");
    {
        TrackedFd compressor(file_, O_RDWR);
        ASSERT_EQ(try_lock(compressor.get(), true), LockResult::Locked);
        EXPECT_FALSE(remove_stale_tmp(file_));
        EXPECT_TRUE(fs::exists(file_ + ".gz.tmp"));
    }
    EXPECT_TRUE(remove_stale_tmp(file_));
    EXPECT_FALSE(fs::exists(file_ + ".gz.tmp"));
    write_file((dir_ / "gone.log.gz.tmp").string(), "");  // its original was deleted: nothing compresses it
    EXPECT_TRUE(remove_stale_tmp((dir_ / "gone.log").string()));
    EXPECT_FALSE(fs::exists(dir_ / "gone.log.gz.tmp"));
}

}  // namespace
}  // namespace tarnwick
