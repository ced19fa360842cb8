#include "lib/maintenance.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "lib/file_lock.hpp"
#include "temp_dir.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
constexpr Date MAR14{2026, 3, 14};

class Maintenance : public TempDirTest {
protected:
    void put(const std::string& name, const std::string& bytes = "line\n") const { write_file(dir_ / name, bytes); }
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.insert(e.path().filename().string());
        return out;
    }
    FileSet files() const { return FileSet((dir_ / "app.log").string()); }
};

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
