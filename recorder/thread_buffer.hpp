// The calling thread's side of the shared rings: room for a record, commit,
// and the count of what had to be dropped. Once a thread has its ring,
// nothing here makes a system call, takes a lock or allocates: reserving is
// a load of the writer's tail and a compare, committing a counter increment
// and a store.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ring.hpp"

namespace qvrec {

// The shared memory of this process's recording (session.cpp).
extern std::atomic<Shared*> g_shared;

// Frames this thread dropped and has not yet reported in a LOST frame.
struct Lost {
    std::uint64_t frames;
    std::uint64_t bytes;
    std::int64_t first_ns;
    std::int64_t last_ns;
};

struct ThreadRing {
    Shared* shared; // the recording this ring belongs to
    Slot* slot;     // null: none yet, or none left
    char* ring;
    std::uint64_t size;
    std::uint64_t head;
    std::uint64_t tail; // the writer's position as last read: read again only when the ring looks full
    std::uint64_t off;
    std::uint32_t tid;
    std::uint32_t freed_seen; // rings handed back, as of this thread's last look for one
    Lost lost;
};

// constinit: no dynamic initialisation, so no TLS wrapper call on each use.
extern constinit thread_local ThreadRing tl_ring [[gnu::tls_model("initial-exec")]];

[[gnu::cold]] void attach_ring(Shared* sh) noexcept;
// A thread without a ring looks again once one has been handed back.
[[gnu::cold]] bool retake_ring() noexcept;
[[gnu::cold]] void count_lost(std::size_t body_len, long long now_ns) noexcept;
void lost_reported() noexcept;
// The thread that forked: its ring belongs to the parent's recording.
void forget_ring() noexcept;

[[gnu::always_inline]] inline std::uint32_t thread_id() noexcept {
    if (tl_ring.tid == 0) [[unlikely]]
        attach_ring(g_shared.load(std::memory_order_relaxed));
    return tl_ring.tid;
}

inline const Lost* lost_pending() noexcept { return tl_ring.lost.frames != 0 ? &tl_ring.lost : nullptr; }

struct Reserved {
    char* body;
    std::uint32_t body_len;
    std::uint64_t head; // the ring's head once committed
    std::uint64_t off;  // and its offset
};

// Room for a record of `body_len` bytes in this thread's ring; false when
// there is none (the writer is behind or stalled, or no ring was left for
// this thread).
[[gnu::always_inline]] inline bool reserve(std::size_t body_len, Reserved& r) noexcept {
    ThreadRing& t = tl_ring;
    Shared* sh = g_shared.load(std::memory_order_relaxed);
    if (t.shared != sh) [[unlikely]]
        attach_ring(sh);
    if (t.slot == nullptr && !retake_ring()) [[unlikely]]
        return false;
    std::uint64_t need = align8(kRecordHead + body_len);
    std::uint64_t contiguous = t.size - t.off;
    std::uint64_t skip = need > contiguous ? contiguous : 0;
    if (t.head + skip + need - t.tail > t.size) [[unlikely]] {
        // The writer's cache line is touched only here, not on every frame.
        t.tail = t.slot->tail.load(std::memory_order_acquire);
        if (t.head + skip + need - t.tail > t.size) return false;
    }
    std::uint64_t off = t.off;
    if (skip != 0) [[unlikely]] {
        std::memcpy(t.ring + off, &kWrap, sizeof kWrap);
        off = 0;
    }
    r.body = t.ring + off + kRecordHead;
    r.body_len = static_cast<std::uint32_t>(body_len);
    r.head = t.head + skip + need;
    r.off = off + need == t.size ? 0 : off + need;
    return true;
}

// Makes a reserved record visible to the writer, in the process's commit order.
[[gnu::always_inline]] inline void commit(const Reserved& r) noexcept {
    ThreadRing& t = tl_ring;
    char* record = r.body - kRecordHead;
    std::uint64_t seq = t.shared->next_seq.fetch_add(1, std::memory_order_relaxed);
    std::uint64_t len = r.body_len; // and 4 bytes of zeros
    std::memcpy(record, &len, 8);
    std::memcpy(record + 8, &seq, 8);
    t.slot->head.store(r.head, std::memory_order_release);
    t.head = r.head;
    t.off = r.off;
}

} // namespace qvrec
