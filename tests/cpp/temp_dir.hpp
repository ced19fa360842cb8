// What the file tests share: a fresh directory per test, removed with its contents afterwards, and
// whole-file reads and writes for looking at what the core wrote. Test threads only.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace tarnwick {

class TempDirTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnwick-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

// The file's bytes; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// Replaces the file's bytes, or appends them (std::ios::app).
inline void write_file(const std::filesystem::path& path, std::string_view bytes,
                       std::ios::openmode mode = std::ios::trunc) {
    std::ofstream(path, std::ios::binary | mode) << bytes;
}

}  // namespace tarnwick
