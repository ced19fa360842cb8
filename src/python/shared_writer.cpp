#include "python/shared_writer.hpp"

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/settings.hpp"

namespace tarnwick::python {

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<PathKey, std::weak_ptr<SharedWriter>, PathKeyHash> map;
};

// Never destroyed: threads that exit after the interpreter may still look writers up.
Registry& WRITERS = *new Registry;

bool env_set(const char* name, std::string_view* value) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return false;
    *value = v;
    return true;
}

std::shared_ptr<BatchSink> reacquire(const std::optional<std::string>& destination) {
    return shared_writer(destination);
}

// Installed at load time, before any thread can exit with lines for a destroyed writer.
[[maybe_unused]] const bool REACQUIRE_INSTALLED = (REACQUIRE_SINK = &reacquire, true);

Sender<Action> start_writer(const DestinationPath& destination, std::chrono::milliseconds check_interval,
                            WriterThread& handle) {
    auto [sender, receiver] = make_channel<Action>(ACTION_CHANNEL_CAPACITY);
    Context context{std::move(receiver), *destination, local_date_now()};
    context.check_interval = check_interval;
    handle = SPAWN_WRITER(std::move(context));
    return std::move(sender);
}

// Tests shorten the writer's periodic check so they need not wait a second for a flush.
std::chrono::milliseconds check_interval_from_env() {
    const char* text = std::getenv("TARNWICK_CHECK_INTERVAL_MS");
    if (text == nullptr) return DEFAULT_CHECK_INTERVAL;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || ms <= 0 || ms > 60'000) return DEFAULT_CHECK_INTERVAL;
    return std::chrono::milliseconds(ms);
}

}  // namespace

std::size_t PathKeyHash::operator()(const PathKey& key) const noexcept {
    if (!key.path) return 0x9e3779b97f4a7c15ULL;
    return std::hash<std::string_view>{}(*key.path) ^ 1;
}

bool decide_color(ColorMode mode, bool is_stdout) {
    switch (mode) {
        case ColorMode::Off:
            return false;
        case ColorMode::Always:
            return true;
        case ColorMode::Auto:
            break;
    }
    if (!is_stdout) return false;
    std::string_view value;
    if (env_set("NO_COLOR", &value)) return false;
    if (env_set("FORCE_COLOR", &value) && value != "0") return true;
    return isatty(STDOUT_FILENO) == 1;
}

SharedWriter::SharedWriter(DestinationPath dest, Sender<Action> sender, WriterThread handle, LineStyle line_style,
                           std::chrono::milliseconds interval)
    : destination(std::move(dest)),
      style(line_style),
      check_interval(interval),
      sender_(std::move(sender)),
      handle_(std::move(handle)) {}

SharedWriter::~SharedWriter() {
    // The releasing thread's lines for this writer go out before Stop, not to the void.
    if (Producer* p = existing_producer()) {
        if (std::optional<Bytes> lines = p->take_pending_for(this)) hand_off(std::move(*lines), Wake::Now);
    }
    stop();
}

void SharedWriter::hand_off(Bytes batch, Wake wake) {
    if (abandoned_.load(std::memory_order_relaxed)) {
        (void)hand_off_until(batch, wake, {});
        return;
    }
    // A message that comes back (the thread has ended) is dropped here, silently.
    (void)sender_.send(Action{Write{std::move(batch)}}, wake);
}

bool SharedWriter::hand_off_until(Bytes& batch, Wake wake, std::chrono::steady_clock::time_point deadline) {
    Action action{Write{std::move(batch)}};
    if (sender_.send_until(action, wake, deadline) != SendStatus::TimedOut) return true;
    batch = std::move(std::get<Write>(action).bytes);
    return false;
}

bool SharedWriter::request_flush(AckSender ack) { return !sender_.send(Action{FlushAck{std::move(ack)}}); }

FlushRequest SharedWriter::request_flush_until(AckSender ack, std::chrono::steady_clock::time_point deadline) {
    Action action{FlushAck{std::move(ack)}};
    switch (sender_.send_until(action, Wake::Now, deadline)) {
        case SendStatus::Sent:
            return FlushRequest::Sent;
        case SendStatus::TimedOut:
            return FlushRequest::TimedOut;
        case SendStatus::Disconnected:
            break;
    }
    return FlushRequest::Ended;
}

void SharedWriter::stop() {
    std::lock_guard lock(handle_mutex_);
    if (!handle_.joinable()) return;
    (void)sender_.send(Action{Stop{}});
    handle_.join();
}

void SharedWriter::abandon_thread() noexcept {
    std::lock_guard lock(handle_mutex_);
    abandoned_.store(true, std::memory_order_relaxed);
    handle_.abandon();
}

void SharedWriter::restart_in_child() {
    // A thread that did not survive the fork may have held this lock; the child has one thread.
    new (&handle_mutex_) std::mutex;
    if (!handle_.joinable()) return;  // stopped in the parent: stays stopped
    // The parent's channel may be locked by a thread that does not exist here, and its queued
    // lines belong to the parent: leave it untouched (leaked) rather than destroying it.
    new Sender<Action>(std::move(sender_));
    handle_.abandon();
    sender_ = start_writer(destination, check_interval, handle_);
}

std::shared_ptr<SharedWriter> shared_writer(std::optional<std::string> path) {
    PathKey key{std::move(path)};
    std::lock_guard lock(WRITERS.mutex);
    auto it = WRITERS.map.find(key);
    if (it != WRITERS.map.end()) {
        if (std::shared_ptr<SharedWriter> live = it->second.lock()) return live;
    }
    const bool is_stdout = !key.path.has_value();
    LineStyle line_style{};
    line_style.color = decide_color(COLOR_MODE.load(), is_stdout);
    line_style.json = FORMAT.load() == OutputFormat::Json;
    line_style.unix_ts = UNIX_TS.load();

    auto destination = std::make_shared<const std::optional<std::string>>(key.path);
    const std::chrono::milliseconds interval = check_interval_from_env();
    WriterThread handle;
    Sender<Action> sender = start_writer(destination, interval, handle);  // throws: nothing registered
    // make_shared keeps the writer's storage until the last weak reference is gone, so a
    // remembered address is never reused by another writer meanwhile.
    auto writer = std::make_shared<SharedWriter>(std::move(destination), std::move(sender), std::move(handle),
                                                 line_style, interval);
    if (it != WRITERS.map.end()) {
        it->second = writer;
    } else {
        WRITERS.map.emplace(std::move(key), writer);
    }
    return writer;
}

std::vector<std::shared_ptr<SharedWriter>> live_writers() {
    std::vector<std::shared_ptr<SharedWriter>> out;
    std::lock_guard lock(WRITERS.mutex);
    for (auto& [key, weak] : WRITERS.map) {
        if (auto w = weak.lock()) out.push_back(std::move(w));
    }
    return out;
}

std::mutex& writers_mutex() noexcept { return WRITERS.mutex; }

}  // namespace tarnwick::python
