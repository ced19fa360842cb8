// Bounded first-in-first-out channel: any number of threads send through the one Sender, one thread
// receives. Both halves are move-only; the slots are allocated once, at creation.
#pragma once

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnwick {

enum class RecvStatus { Message, TimedOut, Disconnected };
enum class SendStatus { Sent, TimedOut, Disconnected };

// Whether a send wakes a waiting receiver at once, or leaves the message for the receiver's next
// timed wake-up unless LAZY_WAKE_COUNT messages are queued. Waking costs the sender a system call
// and the receiver a context switch; a message that may wait a moment should not pay for that.
enum class Wake { Now, Lazily };
inline constexpr std::size_t LAZY_WAKE_COUNT = 64;

template <class T>
struct RecvResult {
    RecvStatus status;
    std::optional<T> message;  // set exactly when status is Message
};

template <class T>
class Sender;
template <class T>
class Receiver;
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity);

namespace details {

// Ring buffer behind one mutex. Senders wait on not_full_, the receiver on not_empty_; both
// predicates also test the other half's flag, so a departing half wakes every waiter.
template <class T>
class ChannelState {
    static_assert(std::is_nothrow_move_constructible_v<T>,
                  "slots are filled and emptied under the lock, where a throw would leave a hole");

public:
    explicit ChannelState(std::size_t capacity) : slots_(std::allocator<T>().allocate(capacity)), capacity_(capacity) {
        assert(capacity > 0 && "a channel without slots could never deliver");
    }
    ChannelState(const ChannelState&) = delete;
    ChannelState& operator=(const ChannelState&) = delete;

    ~ChannelState() {
        destroy_queued();
        std::allocator<T>().deallocate(slots_, capacity_);
    }

    // Waits for room until `deadline` (none: as long as it takes; a past one: not at all).
    // `message` is moved from only when it was sent.
    SendStatus send(T& message, Wake wake, std::optional<std::chrono::steady_clock::time_point> deadline) {
        bool notify = true;
        {
            std::unique_lock lock(mutex_);
            const auto room = [&] { return !receiver_alive_ || count_ < capacity_; };
            if (!deadline) {
                not_full_.wait(lock, room);
            } else if (!not_full_.wait_until(lock, *deadline, room)) {
                return SendStatus::TimedOut;
            }
            if (!receiver_alive_) return SendStatus::Disconnected;
            push(std::move(message));
            notify = wake == Wake::Now || count_ >= LAZY_WAKE_COUNT;
        }
        if (notify) not_empty_.notify_one();
        return SendStatus::Sent;
    }

    bool receiver_alive() {
        std::lock_guard lock(mutex_);
        return receiver_alive_;
    }

    RecvResult<T> recv_until(std::chrono::steady_clock::time_point deadline) {
        RecvResult<T> result{RecvStatus::TimedOut, std::nullopt};
        {
            std::unique_lock lock(mutex_);
            not_empty_.wait_until(lock, deadline, [&] { return count_ > 0 || !sender_alive_; });
            if (count_ > 0) {
                result.status = RecvStatus::Message;
                pop_into(result.message);
            } else if (!sender_alive_) {
                result.status = RecvStatus::Disconnected;
                return result;
            } else {
                return result;
            }
        }
        not_full_.notify_one();
        return result;
    }

    void drop_sender() noexcept {
        {
            std::lock_guard lock(mutex_);
            sender_alive_ = false;
        }
        not_empty_.notify_all();
    }

    void drop_receiver() noexcept {
        {
            std::lock_guard lock(mutex_);
            receiver_alive_ = false;
            // Nobody will handle what is still queued: release it now, so that the waiter of a
            // queued flush request learns at once instead of at its deadline.
            destroy_queued();
        }
        not_full_.notify_all();
    }

private:
    // Caller holds the lock, or is the destructor.
    void destroy_queued() noexcept {
        for (; count_ > 0; --count_) {
            std::destroy_at(slots_ + head_);
            if (++head_ == capacity_) head_ = 0;
        }
    }

    // Caller holds the lock and has checked for room.
    void push(T message) noexcept {
        std::size_t tail = head_ + count_;
        if (tail >= capacity_) tail -= capacity_;
        std::construct_at(slots_ + tail, std::move(message));
        ++count_;
    }

    // Caller holds the lock.
    void pop_into(std::optional<T>& out) noexcept {
        T* slot = slots_ + head_;
        out.emplace(std::move(*slot));
        std::destroy_at(slot);
        if (++head_ == capacity_) head_ = 0;
        --count_;
    }

    std::mutex mutex_;
    std::condition_variable not_empty_;
    std::condition_variable not_full_;
    T* slots_;  // uninitialised storage; slots [head_, head_ + count_) modulo capacity_ are live
    std::size_t capacity_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    bool sender_alive_ = true;
    bool receiver_alive_ = true;
};

// What both halves are: a move-only handle on the shared state that tells it, by `Drop`, when
// this half goes.
template <class T, void (ChannelState<T>::*Drop)() noexcept>
class Half {
public:
    Half() noexcept = default;  // no channel: only a target for a move
    Half(Half&& o) noexcept : state_(std::move(o.state_)) {}
    Half& operator=(Half&& o) noexcept {
        if (this != &o) {
            Half gone(std::move(*this));
            state_ = std::move(o.state_);
        }
        return *this;
    }
    ~Half() {
        if (state_) (state_.get()->*Drop)();
    }

protected:
    explicit Half(std::shared_ptr<ChannelState<T>> state) noexcept : state_(std::move(state)) {}
    ChannelState<T>& state() const {
        assert(state_ && "use of a moved-from channel half");
        return *state_;
    }

private:
    std::shared_ptr<ChannelState<T>> state_;
};

}  // namespace details

template <class T>
class Sender : public details::Half<T, &details::ChannelState<T>::drop_sender> {
public:
    Sender() noexcept = default;

    // Waits for room until `deadline` (none: as long as it takes; a past one: not at all). Sent,
    // TimedOut, or Disconnected when the receiver has gone (also while this call waited); `message`
    // is moved from only when it was sent.
    SendStatus send(T& message, Wake wake = Wake::Now,
                    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) const {
        return this->state().send(message, wake, deadline);
    }
    // The same for a message the caller does not want back.
    SendStatus send(T&& message, Wake wake = Wake::Now,
                    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) const {
        return send(message, wake, deadline);
    }
    // Whether the receiving half still exists.
    bool connected() const { return this->state().receiver_alive(); }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);
    using details::Half<T, &details::ChannelState<T>::drop_sender>::Half;
};

// Messages still queued when it goes are destroyed at once, so a waiter on one learns it will get
// no answer.
template <class T>
class Receiver : public details::Half<T, &details::ChannelState<T>::drop_receiver> {
public:
    Receiver() noexcept = default;

    // The next message; TimedOut when `deadline` passes with nothing queued; Disconnected once the
    // queue is empty and the sender is gone.
    RecvResult<T> recv_until(std::chrono::steady_clock::time_point deadline) {
        return this->state().recv_until(deadline);
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);
    using details::Half<T, &details::ChannelState<T>::drop_receiver>::Half;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity) {
    auto state = std::make_shared<details::ChannelState<T>>(capacity);
    return {Sender<T>(state), Receiver<T>(std::move(state))};
}

}  // namespace tarnwick
