// The messages a writer thread is asked to handle, and the reply channel of a flush request.
// Built by producers and shutdown/stop on any thread; consumed by the writer thread only.
#pragma once

#include <cstddef>
#include <variant>

#include "lib/bytes.hpp"
#include "lib/channel.hpp"

namespace tarnwick {

struct Ack {};
using AckSender = Sender<Ack>;
using AckReceiver = Receiver<Ack>;

struct Write {
    Bytes bytes;  // one or more complete lines, each ending in '\n'
};
// Write out, flush, then reply on `ack`. Dropping it unanswered tells the waiter at once.
struct FlushAck {
    AckSender ack;
};
struct Stop {};

using Action = std::variant<Write, FlushAck, Stop>;

// A fixed constant of writer creation, independent of the batch size.
inline constexpr std::size_t ACTION_CHANNEL_CAPACITY = 65536;
inline constexpr std::size_t ACK_CHANNEL_CAPACITY = 1;  // one reply per request, so a send never waits

}  // namespace tarnwick
