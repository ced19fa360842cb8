// The log call path behind the six level methods, logger creation and shutdown.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "lib/mono_clock.hpp"
#include "lib/producer.hpp"
#include "lib/record_line.hpp"
#include "lib/settings.hpp"
#include "python/message_format.hpp"
#include "python/py_logger.hpp"
#include "python/shared_writer.hpp"

namespace tarnwick::python {

namespace {

// Lends the thread's scratch buffer to one formatting pass and gives it back emptied. A nested
// log call (from an argument's __str__) finds the slot empty and uses a fresh buffer; the outer
// call's buffer replaces it afterwards.
class ScratchLoan {
public:
    explicit ScratchLoan(Producer& p) : producer_(p), buffer_(std::move(p.scratch)) {}
    ~ScratchLoan() {
        buffer_.clear();
        producer_.scratch = std::move(buffer_);
    }
    ScratchLoan(const ScratchLoan&) = delete;
    ScratchLoan& operator=(const ScratchLoan&) = delete;
    Bytes& buffer() noexcept { return buffer_; }

private:
    Producer& producer_;
    Bytes buffer_;
};

// Renders one line at the end of the thread's batch and hands the batch over when full. Runs no
// Python code, so nothing can re-enter the producer while it is held.
void append_record(Producer& producer, PyLogger& logger, Level level, std::string_view message,
                   std::uint64_t batch_size) {
    ProducerUse use(producer);
    SharedWriter& writer = *logger.writer;
    if (producer.owner != &writer) [[unlikely]] {
        producer.adopt(logger.writer, writer.destination);
    }
    const WallTime now = producer.clock.now();
    std::optional<EscapedName> name;
    if (logger.name) name = EscapedName{*logger.name};
    render_line(producer.batch, producer.cache, now, level, writer.style, name, message);
    if (++producer.pending >= batch_size) producer.hand_off_to(writer);
}

}  // namespace

PyObject* log_args(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    Producer& producer = this_thread_producer();
    if (nargs == 0) {
        std::string_view text;
        if (!utf8_of(message, text)) return nullptr;
        append_record(producer, logger, level, text, batch_size);
        Py_RETURN_NONE;
    }
    ScratchLoan scratch(producer);
    if (!format_message(scratch.buffer(), message, args, nargs)) return nullptr;
    append_record(producer, logger, level, scratch.buffer().view(), batch_size);
    Py_RETURN_NONE;
}

PyObject* create_logger(PyTypeObject* type, std::shared_ptr<const std::string> name, std::optional<std::string> path,
                        Level level) {
    return alloc_logger(type, shared_writer(std::move(path)), std::move(name), level);
}

PyObject* py_logger_shutdown(PyObject* self, PyObject*) {
    auto& logger = *reinterpret_cast<PyLogger*>(self);
    Producer& producer = this_thread_producer();
    {
        ProducerUse use(producer);
        producer.hand_over_pending();  // to the writer those lines belong to
    }
    auto [ack_sender, ack_receiver] = make_channel<Ack>(1);
    if (logger.writer->request_flush(std::move(ack_sender))) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        (void)ack_receiver.recv_until(deadline);
    }
    if (logger.writer.use_count() == 1) logger.writer->stop();
    Py_RETURN_NONE;
}

}  // namespace tarnwick::python
