// The session file: settings, the buffer, writing and stopping.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvrec {

// Measures (out == nullptr) or writes a frame body; returns its size.
using BodyWriter = std::size_t (*)(char* out, const void* ctx);

// Appends one frame per body, in order, under one lock: a call's frame and
// the OPEN frames of what encloses it. `now_ns` decides the once-a-second flush.
struct PendingBody {
    BodyWriter write;
    const void* ctx;
};
void append_frames(const PendingBody* bodies, int count, long long now_ns) noexcept;

long long now_ns() noexcept;
std::uint32_t thread_id() noexcept;
std::uint32_t checksum(const void* data, std::size_t len) noexcept;

// The file of the core library the calls go to (null before the first call).
const char* core_path() noexcept;

} // namespace qvrec
