#include "lib/dated_files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
constexpr Date MAR14{2026, 3, 14};

class DatedFilesTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        base_ = (dir_ / "app.log").string();
    }

    static BufferedWriter opened(DatedFiles& files, const Date& date = MAR14) {
        IoResult<BufferedWriter> r = files.open(date);
        if (const IoError* e = std::get_if<IoError>(&r)) ADD_FAILURE() << e->text();
        return std::move(std::get<BufferedWriter>(r));
    }
    static std::uint64_t part_of(const BufferedWriter& w) { return dynamic_cast<PartFile&>(*w.destination()).part(); }
    std::string part(std::uint64_t n) const { return read_file(FileSet(base_).file(MAR14, n)); }
    std::vector<std::string> parts() const {
        std::vector<std::string> out;
        for (std::uint64_t n = 0; fs::exists(FileSet(base_).file(MAR14, n)); ++n) out.push_back(part(n));
        return out;
    }
    void put(std::uint64_t n, const std::string& bytes, const char* suffix = "") const {
        write_file(FileSet(base_).file(MAR14, n) + suffix, bytes);
    }

    std::string base_;
};

// A new writer (a restarted process) goes on in the day's highest part; a part that is compressed
// is closed, so the next one is started instead of writing beside its .gz.
TEST_F(DatedFilesTest, ContinuesTheHighestPartAndNeverReopensAClosedOne) {
    put(0, "zero\n");
    put(1, "one\n");
    put(2, "two\n");
    {
        DatedFiles files(base_, FileOptions{});
        BufferedWriter w = opened(files);
        EXPECT_EQ(part_of(w), 2u);
        ASSERT_FALSE(w.write("more\n"));
    }
    EXPECT_EQ(parts(), (std::vector<std::string>{"zero\n", "one\n", "two\nmore\n"}));
    put(3, "", ".gz");  // part 3 was finished and compressed by someone else
    DatedFiles files(base_, FileOptions{});
    BufferedWriter w = opened(files);
    EXPECT_EQ(part_of(w), 4u);
    EXPECT_FALSE(fs::exists(FileSet(base_).file(MAR14, 3)));
}

// Two writers of the same files (as two processes): one split is made, the other writer joins it,
// and no part gets more than max_bytes plus what the other had in flight.
TEST_F(DatedFilesTest, TwoWritersShareOneSplit) {
    DatedFiles a_files(base_, FileOptions{100, std::nullopt, false});
    DatedFiles b_files(base_, FileOptions{100, std::nullopt, false});
    BufferedWriter a = opened(a_files);
    BufferedWriter b = opened(b_files);
    const std::string line(29, 'a'), other(29, 'b');
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(a.write(line + "\n"));
    ASSERT_FALSE(a.write_out());
    ASSERT_FALSE(b.write(other + "\n"));  // 90 + 30 > 100: b starts part 1
    ASSERT_FALSE(b.write_out());
    ASSERT_FALSE(a.write(line + "\n"));  // a finds part 1 there and joins it
    ASSERT_FALSE(a.write_out());
    EXPECT_EQ(part_of(a), 1u);
    EXPECT_EQ(part_of(b), 1u);
    EXPECT_EQ(parts(), (std::vector<std::string>{line + "\n" + line + "\n" + line + "\n", other + "\n" + line + "\n"}));
}

// A part caught in the middle of another process's write can look torn at the open; it gets no
// empty line once it ends a line at the first write. One still torn then gets its newline.
TEST_F(DatedFilesTest, TornLookIsCheckedAgainWhenWriting) {
    const std::string name = FileSet(base_).file(MAR14);
    for (const std::string before : {"one\ntwo\n", "one\ntwo"}) {
        put(0, before);
        const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        {
            FileDestination file(fd, static_cast<off_t>(before.size()), name);
            ASSERT_EQ(std::get<std::size_t>(file.write("x\n", 2)), 2u);
        }
        EXPECT_EQ(part(0), "one\ntwo\nx\n") << before;
    }
}

}  // namespace
}  // namespace tarnwick
