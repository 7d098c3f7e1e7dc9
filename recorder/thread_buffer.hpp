// The calling thread's side of the shared rings: room for a record, commit,
// and the count of what had to be dropped. Nothing here makes a system call
// or takes a lock once a thread has its ring.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ring.hpp"

namespace qvrec {

// The shared memory of this process's recording (session.cpp).
extern std::atomic<Shared*> g_shared;

struct Reserved {
    char* body;
    std::uint32_t body_len;
    std::uint64_t head; // the ring's head once committed
    std::uint64_t off;  // and its offset
};

// Room for a record of `body_len` bytes in this thread's ring; false when
// there is none (the writer is behind or stalled, or no ring was left for
// this thread).
bool reserve(std::size_t body_len, Reserved& r) noexcept;
// Makes a reserved record visible to the writer, in the process's commit order.
void commit(const Reserved& r) noexcept;

// Frames this thread dropped and has not yet reported in a LOST frame.
struct Lost {
    std::uint64_t frames;
    std::uint64_t bytes;
    std::int64_t first_ns;
    std::int64_t last_ns;
};
void count_lost(std::size_t body_len, long long now_ns) noexcept;
const Lost* lost_pending() noexcept; // null when nothing is pending
void lost_reported() noexcept;

// The thread that forked: its ring belongs to the parent's recording.
void forget_ring() noexcept;

std::uint32_t thread_id() noexcept;

} // namespace qvrec
