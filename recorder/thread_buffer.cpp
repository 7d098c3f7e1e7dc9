#include "thread_buffer.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ring_file.hpp"

namespace qvrec {

constinit thread_local ThreadRing tl_ring [[gnu::tls_model("initial-exec")]] = {};

namespace {

pthread_key_t g_exit_key;
pthread_once_t g_exit_key_once = PTHREAD_ONCE_INIT;

// A thread that ends hands its ring on at once, as it is: the next thread
// goes on after its last record. A ring with a loss still to report waits
// for the writer, which reports it under the thread that had it.
void thread_ended(void* slot) {
    Shared* sh = tl_ring.shared;
    auto* s = static_cast<Slot*>(slot);
    if (s->lost_frames.load(std::memory_order_acquire) != 0) {
        s->state.store(kRetired, std::memory_order_release);
        return;
    }
    s->state.store(kFree, std::memory_order_release);
    if (sh != nullptr) sh->rings_freed.fetch_add(1, std::memory_order_release);
}

// Takes a free ring whose pages are in the file, or none.
bool take_ring(ThreadRing& t, Shared* sh) {
    t.freed_seen = sh->rings_freed.load(std::memory_order_acquire);
    Slot* slots = sh->slots();
    for (std::uint32_t k = 0; k < sh->slot_count; ++k) {
        std::uint32_t free = kFree;
        if (slots[k].state.load(std::memory_order_relaxed) != kFree ||
            !slots[k].state.compare_exchange_strong(free, kOwned, std::memory_order_acq_rel))
            continue;
        if (!back_ring(sh, k)) { // the file system is full: no ring, now or later
            slots[k].state.store(kFree, std::memory_order_release);
            return false;
        }
        slots[k].tid = t.tid;
        t.slot = &slots[k];
        t.ring = sh->ring(k);
        t.size = sh->ring_size;
        t.head = slots[k].head.load(std::memory_order_relaxed);
        t.tail = slots[k].tail.load(std::memory_order_acquire);
        t.off = t.head % t.size;
        ::pthread_setspecific(g_exit_key, t.slot);
        return true;
    }
    return false;
}

} // namespace

void attach_ring(Shared* sh) noexcept {
    ThreadRing& t = tl_ring;
    t = ThreadRing{};
    t.shared = sh;
    t.tid = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    if (sh == nullptr) return;
    ::pthread_once(&g_exit_key_once, [] { ::pthread_key_create(&g_exit_key, thread_ended); });
    take_ring(t, sh);
}

bool retake_ring() noexcept {
    ThreadRing& t = tl_ring;
    Shared* sh = t.shared;
    return sh != nullptr && sh->rings_freed.load(std::memory_order_acquire) != t.freed_seen &&
           take_ring(t, sh);
}

void count_lost(std::size_t body_len, long long now) noexcept {
    ThreadRing& t = tl_ring;
    Shared* sh = g_shared.load(std::memory_order_relaxed);
    if (t.shared != sh) attach_ring(sh);
    if (t.slot == nullptr) { // no ring: counted for all such threads, under thread 0
        if (sh == nullptr) return;
        std::int64_t none = 0;
        sh->overflow_first_ns.compare_exchange_strong(none, now, std::memory_order_relaxed);
        sh->overflow_last_ns.store(now, std::memory_order_relaxed);
        sh->overflow_bytes.fetch_add(body_len, std::memory_order_relaxed);
        sh->overflow_frames.fetch_add(1, std::memory_order_release);
        return;
    }
    Lost& l = t.lost;
    if (l.frames == 0) l.first_ns = now;
    l.last_ns = now;
    ++l.frames;
    l.bytes += body_len;
    // Mirrored where the writer can see them, should this thread never record again.
    t.slot->lost_first_ns.store(l.first_ns, std::memory_order_relaxed);
    t.slot->lost_last_ns.store(l.last_ns, std::memory_order_relaxed);
    t.slot->lost_bytes.store(l.bytes, std::memory_order_relaxed);
    t.slot->lost_frames.store(l.frames, std::memory_order_release);
}

void lost_reported() noexcept {
    tl_ring.lost = Lost{};
    tl_ring.slot->lost_frames.store(0, std::memory_order_release);
}

void forget_ring() noexcept { tl_ring = ThreadRing{}; }

} // namespace qvrec
