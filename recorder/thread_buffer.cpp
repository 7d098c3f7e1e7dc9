#include "thread_buffer.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace qvrec {

namespace {

struct ThreadRing {
    Shared* shared; // the recording this ring belongs to
    Slot* slot;     // null: none yet, or none left (no_slot)
    char* ring;
    std::uint64_t size;
    std::uint64_t head;
    std::uint64_t off;
    bool no_slot;
    Lost lost;
};

thread_local ThreadRing tl [[gnu::tls_model("initial-exec")]] = {};
thread_local std::uint32_t tl_tid [[gnu::tls_model("initial-exec")]] = 0;

pthread_key_t g_exit_key;
pthread_once_t g_exit_key_once = PTHREAD_ONCE_INIT;

// A thread that ends gives its ring back; the writer frees it once drained.
void thread_ended(void* slot) { static_cast<Slot*>(slot)->state.store(kRetired, std::memory_order_release); }

[[gnu::cold]] void attach(Shared* sh) {
    tl = ThreadRing{};
    tl.shared = sh;
    ::pthread_once(&g_exit_key_once, [] { ::pthread_key_create(&g_exit_key, thread_ended); });
    Slot* slots = sh->slots();
    for (std::uint32_t k = 0; k < sh->slot_count; ++k) {
        std::uint32_t free = kFree;
        if (!slots[k].state.compare_exchange_strong(free, kOwned, std::memory_order_acq_rel)) continue;
        slots[k].tid = thread_id();
        tl.slot = &slots[k];
        tl.ring = sh->ring(k);
        tl.size = sh->ring_size;
        tl.head = slots[k].head.load(std::memory_order_relaxed);
        tl.off = 0;
        ::pthread_setspecific(g_exit_key, tl.slot);
        return;
    }
    tl.no_slot = true;
}

} // namespace

bool reserve(std::size_t body_len, Reserved& r) noexcept {
    Shared* sh = g_shared.load(std::memory_order_relaxed);
    if (tl.shared != sh) [[unlikely]]
        attach(sh);
    if (tl.slot == nullptr) [[unlikely]]
        return false;
    std::uint64_t need = align8(kRecordHead + body_len);
    std::uint64_t contiguous = tl.size - tl.off;
    std::uint64_t skip = need > contiguous ? contiguous : 0;
    std::uint64_t tail = tl.slot->tail.load(std::memory_order_acquire);
    if (tl.head + skip + need - tail > tl.size) return false;
    std::uint64_t off = tl.off;
    if (skip != 0) {
        std::memcpy(tl.ring + off, &kWrap, sizeof kWrap);
        off = 0;
    }
    r.body = tl.ring + off + kRecordHead;
    r.body_len = static_cast<std::uint32_t>(body_len);
    r.head = tl.head + skip + need;
    r.off = off + need == tl.size ? 0 : off + need;
    return true;
}

void commit(const Reserved& r) noexcept {
    char* record = r.body - kRecordHead;
    std::uint64_t seq = tl.shared->next_seq.fetch_add(1, std::memory_order_relaxed);
    std::uint32_t zero = 0;
    std::memcpy(record, &r.body_len, 4);
    std::memcpy(record + 4, &zero, 4);
    std::memcpy(record + 8, &seq, 8);
    tl.slot->head.store(r.head, std::memory_order_release);
    tl.head = r.head;
    tl.off = r.off;
}

void count_lost(std::size_t body_len, long long now) noexcept {
    Shared* sh = g_shared.load(std::memory_order_relaxed);
    if (tl.shared != sh) attach(sh);
    if (tl.slot == nullptr) { // a thread beyond the last ring: counted for all such threads
        sh->overflow_frames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Lost& l = tl.lost;
    if (l.frames == 0) l.first_ns = now;
    l.last_ns = now;
    ++l.frames;
    l.bytes += body_len;
    // Mirrored where the writer can see them, should this thread never record again.
    tl.slot->lost_first_ns.store(l.first_ns, std::memory_order_relaxed);
    tl.slot->lost_last_ns.store(l.last_ns, std::memory_order_relaxed);
    tl.slot->lost_bytes.store(l.bytes, std::memory_order_relaxed);
    tl.slot->lost_frames.store(l.frames, std::memory_order_release);
}

const Lost* lost_pending() noexcept { return tl.lost.frames != 0 ? &tl.lost : nullptr; }

void lost_reported() noexcept {
    tl.lost = Lost{};
    tl.slot->lost_frames.store(0, std::memory_order_release);
}

void forget_ring() noexcept {
    tl = ThreadRing{};
    tl_tid = 0;
}

std::uint32_t thread_id() noexcept {
    if (tl_tid == 0) [[unlikely]]
        tl_tid = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return tl_tid;
}

} // namespace qvrec
