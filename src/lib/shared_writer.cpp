#include "lib/shared_writer.hpp"

#include <functional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "lib/fork_safety.hpp"

namespace tarnwick {

namespace {

// Destinations are standard output (no path) or a base path compared byte for byte.
struct PathHash {
    std::size_t operator()(const std::optional<std::string>& path) const noexcept {
        if (!path) return 0x9e3779b97f4a7c15ULL;
        return std::hash<std::string_view>{}(*path) ^ 1;
    }
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::optional<std::string>, std::weak_ptr<SharedWriter>, PathHash> map;
};

// Never destroyed: threads that exit after the interpreter may still look writers up.
Registry& WRITERS = *new Registry;

Sender<Action> start_writer(const WriterConfig& config, WriterThread& handle) {
    auto [sender, receiver] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
    Context context{std::move(receiver), config.path, local_date_now()};
    context.check_interval = config.check_interval;
    handle = SPAWN_WRITER(std::move(context));
    return std::move(sender);
}

// Drops the registry entry of a destination whose writer is gone, so a program that logs to many
// paths over its life keeps no allocation for each.
void forget_if_gone(const std::optional<std::string>& path) {
    std::lock_guard lock(WRITERS.mutex);
    auto it = WRITERS.map.find(path);
    if (it != WRITERS.map.end() && it->second.expired()) WRITERS.map.erase(it);
}

}  // namespace

SharedWriter::SharedWriter(WriterConfigRef writer_config, Sender<Action> sender, WriterThread handle)
    : config(std::move(writer_config)), sender_(std::move(sender)), handle_(std::move(handle)) {}

SharedWriter::~SharedWriter() {
    // The releasing thread's lines for this writer go out before Stop, not to the void.
    if (Producer* p = existing_producer()) {
        if (std::optional<Bytes> lines = p->take_pending_for(this)) (void)hand_over(*lines, Wake::Now, std::nullopt);
    }
    stop();
    forget_if_gone(config->path);
}

bool SharedWriter::hand_over(Bytes& batch, Wake wake, Deadline deadline) {
    const bool abandoned = abandoned_.load(std::memory_order_relaxed);
    if (abandoned) deadline = std::chrono::steady_clock::time_point{};  // long past: no waiting
    Action action{Write{std::move(batch)}};
    if (sender_.send(action, wake, deadline) != SendStatus::TimedOut || abandoned) return true;
    batch = std::move(std::get<Write>(action).bytes);
    return false;
}

SendStatus SharedWriter::request_flush(AckSender ack, Deadline deadline) {
    return sender_.send(Action{FlushAck{std::move(ack)}}, Wake::Now, deadline);
}

void SharedWriter::stop() {
    stopped_.store(true, std::memory_order_relaxed);
    std::lock_guard lock(handle_mutex_);
    if (!handle_.joinable()) return;
    (void)sender_.send(Action{Stop{}});
    handle_.join();
}

bool SharedWriter::accepting() const { return !stopped_.load(std::memory_order_relaxed) && sender_.connected(); }

void SharedWriter::abandon_thread() noexcept {
    std::lock_guard lock(handle_mutex_);
    abandoned_.store(true, std::memory_order_relaxed);
    handle_.abandon();
}

void SharedWriter::restart_in_child() {
    // A thread that did not survive the fork may have held this lock; the child has one thread.
    recreate_in_child(handle_mutex_);
    if (!handle_.joinable()) return;  // stopped in the parent: stays stopped
    // The parent's channel may be locked by a thread that does not exist here, and its queued
    // lines belong to the parent: leave it untouched (leaked) rather than destroying it.
    new Sender<Action>(std::move(sender_));
    handle_.abandon();
    sender_ = start_writer(*config, handle_);
}

std::shared_ptr<SharedWriter> shared_writer(const WriterConfigRef& config) {
    std::shared_ptr<SharedWriter> replaced;  // released after the lock: its destructor takes it
    std::lock_guard lock(WRITERS.mutex);
    std::weak_ptr<SharedWriter>& entry = WRITERS.map[config->path];
    if (std::shared_ptr<SharedWriter> live = entry.lock()) {
        if (live->accepting()) return live;
        replaced = std::move(live);
    }
    WriterThread handle;
    Sender<Action> sender;
    try {
        sender = start_writer(*config, handle);
    } catch (...) {
        if (entry.expired()) WRITERS.map.erase(config->path);
        throw;
    }
    // make_shared keeps the writer's storage until the last weak reference is gone, so a
    // remembered address is never reused by another writer meanwhile.
    auto writer = std::make_shared<SharedWriter>(config, std::move(sender), std::move(handle));
    entry = writer;
    return writer;
}

std::shared_ptr<BatchSink> reacquire_writer(const WriterConfigRef& config) { return shared_writer(config); }

std::vector<std::shared_ptr<SharedWriter>> live_writers() {
    std::vector<std::shared_ptr<SharedWriter>> out;
    std::lock_guard lock(WRITERS.mutex);
    for (auto& [path, weak] : WRITERS.map) {
        if (auto w = weak.lock()) out.push_back(std::move(w));
    }
    return out;
}

std::vector<std::shared_ptr<SharedWriter>> flush_and_wait(std::vector<std::shared_ptr<SharedWriter>> writers,
                                                          std::chrono::steady_clock::time_point deadline) {
    struct Waiting {
        std::shared_ptr<SharedWriter> writer;
        AckReceiver ack;
    };
    std::vector<Waiting> waiting;
    std::vector<std::shared_ptr<SharedWriter>> late;
    for (std::shared_ptr<SharedWriter>& writer : writers) {
        auto [ack_sender, ack_receiver] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        switch (writer->request_flush(std::move(ack_sender), deadline)) {
            case SendStatus::Sent:
                waiting.push_back({std::move(writer), std::move(ack_receiver)});
                break;
            case SendStatus::TimedOut:
                late.push_back(std::move(writer));
                break;
            case SendStatus::Disconnected:
                break;  // ended: nothing more will be written
        }
    }
    for (Waiting& w : waiting) {
        if (w.ack.recv_until(deadline).status == RecvStatus::TimedOut) late.push_back(std::move(w.writer));
    }
    return late;
}

std::mutex& writers_mutex() noexcept { return WRITERS.mutex; }

}  // namespace tarnwick
