// Cost of rendering one record line and of the number appenders, per call, with warm buffers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "lib/json_escape.hpp"
#include "lib/number_append.hpp"
#include "lib/record_line.hpp"

namespace tarnwick {
namespace {

constexpr std::string_view CLEAN_MESSAGE = "user 42 logged in from 10.0.0.7 after 3 attempts";
constexpr std::string_view DIRTY_MESSAGE = "path \"C:\\tmp\\x\"\nline two\tcol\x1b[0m end";

// Renders into a buffer that is cleared, not freed, as a thread's batch is reused.
void render_shape(benchmark::State& state, LineStyle style) {
    Bytes out(4'096);
    TimestampCache cache;
    WallTime now{1'773'476'813, 589'793'238};
    for (auto _ : state) {
        out.clear();
        render_line(out, cache, now, Level::Info, style, EscapedName{"app"}, CLEAN_MESSAGE);
        benchmark::DoNotOptimize(out.data());
        now.nanos = (now.nanos + 1'000) % 1'000'000'000;  // same second: the cached texts are reused
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}

void BM_RenderPlainCalendar(benchmark::State& s) { render_shape(s, {false, false, false}); }
void BM_RenderPlainUnix(benchmark::State& s) { render_shape(s, {false, true, false}); }
void BM_RenderColoredCalendar(benchmark::State& s) { render_shape(s, {false, false, true}); }
void BM_RenderColoredUnix(benchmark::State& s) { render_shape(s, {false, true, true}); }
void BM_RenderJsonCalendar(benchmark::State& s) { render_shape(s, {true, false, false}); }
void BM_RenderJsonUnix(benchmark::State& s) { render_shape(s, {true, true, false}); }
BENCHMARK(BM_RenderPlainCalendar);
BENCHMARK(BM_RenderPlainUnix);
BENCHMARK(BM_RenderColoredCalendar);
BENCHMARK(BM_RenderColoredUnix);
BENCHMARK(BM_RenderJsonCalendar);
BENCHMARK(BM_RenderJsonUnix);

// A new second per line: the local-time conversion and the rendering of the texts.
void BM_RenderNewSecond(benchmark::State& state) {
    Bytes out(4'096);
    TimestampCache cache;
    WallTime now{1'773'476'813, 0};
    for (auto _ : state) {
        out.clear();
        render_line(out, cache, now, Level::Info, {false, false, false}, EscapedName{"app"}, CLEAN_MESSAGE);
        benchmark::DoNotOptimize(out.data());
        ++now.seconds;
    }
}
BENCHMARK(BM_RenderNewSecond);

void escape(benchmark::State& state, std::string_view text) {
    Bytes out(4'096);
    for (auto _ : state) {
        out.clear();
        json_escape(out, text);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
void BM_JsonEscapeClean(benchmark::State& s) { escape(s, CLEAN_MESSAGE); }
void BM_JsonEscapeDirty(benchmark::State& s) { escape(s, DIRTY_MESSAGE); }
BENCHMARK(BM_JsonEscapeClean);
BENCHMARK(BM_JsonEscapeDirty);

void BM_PushI64(benchmark::State& state) {
    Bytes out(4'096);
    std::int64_t value = -9'223'372'036'854'775'807 - 1;
    for (auto _ : state) {
        out.clear();
        push_i64(out, value);
        benchmark::DoNotOptimize(out.data());
        value += 1'234'567'890'123;
    }
}
BENCHMARK(BM_PushI64);

void BM_PushF64Repr(benchmark::State& state) {
    Bytes out(4'096);
    double value = 0.1;
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(push_f64_repr(out, value));
        value += 1.37;
        if (value > 1e6) value = 0.1;
    }
}
BENCHMARK(BM_PushF64Repr);

}  // namespace
}  // namespace tarnwick
