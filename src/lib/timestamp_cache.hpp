// Per-thread record time: the wall clock anchored to mono_ns(), and the texts of the current second
// that every record line starts with. Each object belongs to the one thread that made it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "lib/mono_clock.hpp"
#include "lib/tsc_clock.hpp"

namespace tarnwick {

struct WallTime {
    std::int64_t seconds;  // Unix seconds
    std::uint32_t nanos;   // 0 to 999,999,999
    friend bool operator==(const WallTime&, const WallTime&) = default;
};

// Reads the wall clock about once a second; in between, record times come from the monotonic
// counter alone (CLOCK_MONOTONIC, or the calibrated time-stamp counter where there is one), so a
// wall-clock step shows only at the next anchor. With the time-stamp counter the anchor is renewed
// when the second changes, together with the second's texts.
class ThreadTimestampCache {
public:
    struct Anchor {
        std::uint64_t mono;    // mono_ns() right after the wall clock was read
        std::int64_t seconds;  // the wall clock then
        std::uint32_t nanos;
    };

    ThreadTimestampCache() { refresh(); }

    WallTime refresh();
    WallTime now() {
        if (ns_per_tick_ != 0) [[likely]] {
            const std::uint64_t ticks = tsc::read() - tsc_.ticks;
            const double elapsed = static_cast<double>(ticks) * ns_per_tick_;
            // Also a counter behind the anchor: the difference wraps to a huge value.
            if (elapsed < tsc_rest_) [[likely]] {
                const auto nanos = tsc_.nanos + static_cast<std::uint32_t>(elapsed);
                if (nanos > last_.nanos) last_.nanos = nanos;  // within the anchor's second
                return last_;
            }
            return refresh();
        }
        if (const auto time = since_anchor(anchor_, mono_ns())) {
            last_ = *time;  // so the first anchor on the counter does not go back behind it
            return last_;
        }
        return refresh();
    }

    // Whether times come from the time-stamp counter (until the next anchor).
    bool uses_tsc() const noexcept { return ns_per_tick_ != 0; }

    // The time at counter value `mono`, or nullopt when a new anchor is due: a full second or more
    // has passed, or the counter reads behind the anchor (the difference wraps to a huge value).
    static std::optional<WallTime> since_anchor(const Anchor& anchor, std::uint64_t mono) noexcept;

private:
    // How far the counter's estimate may have run ahead of the wall clock and be waited for.
    static constexpr std::int64_t MAX_HELD_NS = 10'000'000;
    // A monotonic reading pair closer than this places the wall clock well enough.
    static constexpr std::uint64_t TIGHT_NS = 200;

    WallTime anchor_tsc(const tsc::Anchor& anchor) noexcept;

    Anchor anchor_{};
    tsc::Anchor tsc_{};
    double ns_per_tick_ = 0;  // 0: the monotonic clock's anchor_ is in use
    double tsc_rest_ = 0;     // nanoseconds from tsc_ to the end of its second
    WallTime last_{};         // the latest time given; with the counter none is given below it
};

// Which set of cached texts a line is built from.
enum class TextGroup : std::uint8_t { Plain = 0, Colored = 1, Json = 2 };

// The time texts of one second, in three groups. Invariant: a group is empty or rendered for second().
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

    std::array<Group, 3> group_{};
    std::int64_t second_ = -1;
};

}  // namespace tarnwick
