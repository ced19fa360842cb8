// The texts of the current second that every record line starts with, in each line shape. Each
// object belongs to the one thread that made it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "lib/clock_reader.hpp"
#include "lib/line_shape.hpp"

namespace tarnwick {

// The time texts of one second, a group for each line shape. Invariant: a group is empty or rendered for second().
class TimestampCache {
public:
    // Every cached text is stored in a block of this many bytes, all readable, so a renderer may
    // copy a whole block and then advance by the text's size.
    static constexpr std::size_t TEXT_CAPACITY = 48;

    struct Texts {
        std::string_view calendar_prefix;  // up to the "." before the microseconds
        std::string_view offset_suffix;    // the UTC offset and the level key
        std::string_view unix_prefix;      // up to the "." before the nanoseconds
    };

    // Renders the texts of Unix second `seconds` in the local time zone: the plain group always,
    // the group the calling line needs (`requested`), and every group rendered before, so that
    // none goes stale.
    void refresh(std::int64_t seconds, TextGroup requested);

    // -1 until the first refresh. Callers also test has(), since -1 is itself a valid second.
    std::int64_t second() const noexcept { return second_; }
    bool has(TextGroup group) const noexcept { return group_[index(group)].calendar_prefix.size != 0; }
    Texts texts(TextGroup group) const noexcept {
        const Group& g = group_[index(group)];
        return Texts{g.calendar_prefix.view(), g.offset_suffix.view(), g.unix_prefix.view()};
    }

private:
    // Longest text: DIM "time=" RESET, a 13-character year, "-MM-DDTHH:MM:SS." (42 bytes).
    struct Text {
        std::array<char, TEXT_CAPACITY> bytes;
        std::uint8_t size = 0;
        std::string_view view() const noexcept { return {bytes.data(), size}; }
        void assign(std::string_view head, std::string_view tail) noexcept;
    };
    struct Group {
        Text calendar_prefix;
        Text offset_suffix;
        Text unix_prefix;
    };
    static constexpr std::size_t index(TextGroup group) noexcept { return static_cast<std::size_t>(group); }

    std::array<Group, TEXT_GROUPS> group_{};
    std::int64_t second_ = -1;
};

}  // namespace tarnwick
