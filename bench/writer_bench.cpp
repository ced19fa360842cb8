// Cost of the hand-over (one channel send and receive) and the writer thread's throughput into a file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "lib/action.hpp"
#include "lib/batch_pool.hpp"
#include "lib/channel.hpp"
#include "lib/writer_thread.hpp"

namespace tarnwick {
namespace {

// Send and receive on one thread: the uncontended price of a channel operation pair.
void BM_ChannelSendRecv(benchmark::State& state) {
    auto [sender, receiver] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
    const auto far = std::chrono::steady_clock::now() + std::chrono::hours(1);
    for (auto _ : state) {
        (void)sender.send(Action{Stop{}});
        benchmark::DoNotOptimize(receiver.recv_until(far));
    }
}
BENCHMARK(BM_ChannelSendRecv);

// A producer sends 4 KiB batches to a consumer thread, recycling them, as a logging thread does.
void BM_ChannelProducerConsumer(benchmark::State& state) {
    auto [sender, receiver] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
    std::thread consumer([r = std::move(receiver)]() mutable {
        const auto far = std::chrono::steady_clock::now() + std::chrono::hours(1);
        for (RecvResult<Action> got; (got = r.recv_until(far)).status == RecvStatus::Message;) {
            BATCH_POOL.give(std::move(std::get<Write>(*got.message).bytes));  // as the writer does
        }
    });
    const Wake wake = state.range(0) != 0 ? Wake::Now : Wake::Lazily;
    for (auto _ : state) {
        Bytes batch = BATCH_POOL.take();
        batch.extend(4'000);
        (void)sender.send(Action{Write{std::move(batch)}}, wake);
    }
    sender = Sender<Action>();
    consumer.join();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4'000);
}
// Argument 1: every send wakes the consumer; 0: full batches are sent lazily, as the logger does.
BENCHMARK(BM_ChannelProducerConsumer)->Arg(1)->Arg(0)->UseRealTime();

// Bytes per second from a full channel of 4 KiB batches into an append-mode file.
void BM_WriterThroughput(benchmark::State& state) {
    const std::string dir = std::filesystem::temp_directory_path() / ("tarnwick-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string line(99, 'x');
    line += '\n';
    for (auto _ : state) {
        auto [sender, receiver] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
        WriterThread thread =
            WriterThread::spawn(Context{std::move(receiver), dir + "/throughput.log", local_date_now()});
        for (int i = 0; i < 2'000; ++i) {
            Bytes batch(4'096);
            for (int j = 0; j < 40; ++j) batch.append(line);
            (void)sender.send(Action{Write{std::move(batch)}});
        }
        (void)sender.send(Action{Stop{}});
        thread.join();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2'000 * 40 * 100);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_WriterThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarnwick
