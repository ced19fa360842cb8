// Growable byte buffer for record lines, batches and scratch text. Owned by one thread at a time;
// moved (never copied) between producer, channel and writer.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace tarnwick {

class Bytes {
public:
    Bytes() noexcept = default;
    explicit Bytes(std::size_t capacity) { reserve(capacity); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    Bytes(Bytes&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    Bytes& operator=(Bytes&& o) noexcept {
        Bytes tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~Bytes() { std::free(data_); }

    void swap(Bytes& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(capacity_, o.capacity_);
    }

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string_view view() const noexcept { return {data_, size_}; }

    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        void* p = std::realloc(data_, n);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        capacity_ = n;
    }

    // Makes sure n more bytes fit, growing as extend does: by at least double, so a buffer filled
    // a little at a time reallocates a few times, not at every step.
    void make_room(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
    }

    // Makes room for n more bytes and returns where they go; the caller fills all n of them.
    char* extend(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        char* out = data_ + size_;
        size_ += n;
        return out;
    }

    void append(const char* p, std::size_t n) {
        if (n == 0) return;
        std::memcpy(extend(n), p, n);
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void push_back(char c) { *extend(1) = c; }

    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }
    void clear() noexcept { size_ = 0; }

private:
    void grow(std::size_t n) {
        std::size_t want = size_ + n;
        std::size_t doubled = capacity_ * 2;
        reserve(want > doubled ? want : doubled);
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tarnwick
