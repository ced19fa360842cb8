#include "lib/shared_writer.hpp"

#include <pthread.h>

#include <functional>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "lib/core_hooks.hpp"
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

struct Entry {
    std::weak_ptr<SharedWriter> writer;
    std::shared_ptr<WriterTurn> last_turn;  // of the destination's newest writer, which may be finishing
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::optional<std::string>, Entry, PathHash> map;
};

// Never destroyed: threads that exit after the interpreter may still look writers up.
Registry& WRITERS = *new Registry;

// Starts a writer thread that begins once the writer holding `after` has finished.
Sender<Action> start_writer(const WriterConfig& config, std::shared_ptr<WriterTurn> after,
                            const std::shared_ptr<WriterTurn>& turn, WriterThread& handle) {
    auto [sender, receiver] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
    Context context{std::move(receiver), config.path, core_hooks().today()};
    context.check_interval = config.check_interval;
    context.files = config.files;
    context.after = std::move(after);
    context.turn = turn;
    handle = core_hooks().spawn_writer(std::move(context));
    return std::move(sender);
}

// Drops the registry entry of a destination whose writer is gone, so a program that logs to many
// paths over its life keeps no allocation for each. Only the entry of the writer that has just
// finished (`turn`) goes: a newer writer's entry, or a thread that was let go still writing, still
// orders the next writer after it.
void forget_if_gone(const std::optional<std::string>& path, const std::shared_ptr<WriterTurn>& turn) {
    if (!turn->finished()) return;
    std::lock_guard lock(WRITERS.mutex);
    auto it = WRITERS.map.find(path);
    if (it != WRITERS.map.end() && it->second.last_turn == turn && it->second.writer.expired()) WRITERS.map.erase(it);
}

}  // namespace

SharedWriter::SharedWriter(WriterConfigRef writer_config, Sender<Action> sender, WriterThread handle,
                           std::shared_ptr<WriterTurn> turn)
    : BatchSink(std::move(writer_config)),
      sender_(std::move(sender)),
      turn_(std::move(turn)),
      handle_(std::move(handle)) {}

SharedWriter::~SharedWriter() {
    // Bounded like shutdown(): a destination that takes no data must not hold the releasing thread.
    const auto deadline = std::chrono::steady_clock::now() + FLUSH_WAIT;
    // The releasing thread's lines for this writer go out before Stop, not to the void.
    if (Producer* p = existing_producer()) {
        if (std::optional<Bytes> lines = p->take_pending_for(this)) (void)hand_over(*lines, Wake::Now, deadline);
    }
    stop(deadline);
    forget_if_gone(config->path, turn_);
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

void SharedWriter::stop(Deadline deadline) {
    stopped_.store(true, std::memory_order_relaxed);
    std::lock_guard lock(handle_mutex_);
    if (!handle_.joinable()) return;
    // Without Stop the thread still ends, once the last sender is gone and it has written the rest.
    const bool sent = sender_.send(Action{Stop{}}, Wake::Now, deadline) != SendStatus::TimedOut;
    if (deadline && !(sent && turn_->wait_until(*deadline))) {
        handle_ = WriterThread();  // detaches it
        return;
    }
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
    // The parent's channel and turn may be locked by threads that do not exist here, and the
    // queued lines belong to the parent: leave them untouched (leaked) rather than destroying them.
    new std::shared_ptr<WriterTurn>(std::move(turn_));
    turn_ = std::make_shared<WriterTurn>();
    if (!handle_.joinable()) {
        turn_->finish();  // stopped in the parent: stays stopped
        return;
    }
    new Sender<Action>(std::move(sender_));
    handle_.abandon();
    sender_ = start_writer(*config, nullptr, turn_, handle_);
}

std::shared_ptr<SharedWriter> shared_writer(const WriterConfigRef& config) {
    std::shared_ptr<SharedWriter> replaced;  // released after the lock: its destructor takes it
    std::lock_guard lock(WRITERS.mutex);
    Entry& entry = WRITERS.map[config->path];
    if (std::shared_ptr<SharedWriter> live = entry.writer.lock()) {
        if (live->accepting()) return live;
        replaced = std::move(live);
    }
    auto turn = std::make_shared<WriterTurn>();
    WriterThread handle;
    Sender<Action> sender;
    try {
        sender = start_writer(*config, entry.last_turn, turn, handle);
    } catch (...) {
        if (entry.writer.expired() && !entry.last_turn) WRITERS.map.erase(config->path);
        throw;
    }
    // make_shared keeps the writer's storage until the last weak reference is gone, so a
    // remembered address is never reused by another writer meanwhile.
    auto writer = std::make_shared<SharedWriter>(config, std::move(sender), std::move(handle), turn);
    entry = Entry{writer, std::move(turn)};
    return writer;
}

std::shared_ptr<BatchSink> reacquire_writer(const WriterConfigRef& config) { return shared_writer(config); }

std::vector<std::shared_ptr<SharedWriter>> live_writers() {
    std::vector<std::shared_ptr<SharedWriter>> out;
    std::lock_guard lock(WRITERS.mutex);
    for (auto& [path, entry] : WRITERS.map) {
        if (auto w = entry.writer.lock()) out.push_back(std::move(w));
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

void wait_for_released_writers(std::chrono::steady_clock::time_point deadline) {
    std::vector<std::shared_ptr<WriterTurn>> writing;
    {
        std::lock_guard lock(WRITERS.mutex);
        for (auto& [path, entry] : WRITERS.map) {
            if (entry.writer.expired() && entry.last_turn && !entry.last_turn->finished()) {
                writing.push_back(entry.last_turn);
            }
        }
    }
    for (const std::shared_ptr<WriterTurn>& turn : writing) (void)turn->wait_until(deadline);
}

void hold_registry_across_fork() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        // The child only gets the lock back here: it restarts its writers later, from the interpreter's
        // after-fork hook, which a fork followed at once by exec (subprocess) never runs.
        if (pthread_atfork([] { WRITERS.mutex.lock(); }, [] { WRITERS.mutex.unlock(); },
                           [] { recreate_in_child(WRITERS.mutex); }) != 0) {
            throw std::bad_alloc();  // its only failure
        }
    });
}

void restart_writers_in_child() {
    for (auto it = WRITERS.map.begin(); it != WRITERS.map.end();) {
        Entry& entry = it->second;
        // A writer of the parent that was finishing at the fork will never finish here.
        new std::shared_ptr<WriterTurn>(std::move(entry.last_turn));
        if (std::shared_ptr<SharedWriter> writer = entry.writer.lock()) {
            writer->restart_in_child();
            entry.last_turn = writer->turn();
            ++it;
        } else {
            it = WRITERS.map.erase(it);
        }
    }
}

}  // namespace tarnwick
