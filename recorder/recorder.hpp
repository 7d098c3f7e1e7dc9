// The recording shim's runtime, as the per-function code generated from
// qvcsdk.h by gen_recorder.py uses it.
//
// Hot path with recording off: one acquire load of the real function's
// address, one relaxed load of the switch, a tail call. With recording on,
// a call that does not come from the module (the core calling its own
// functions, a thread of the core's own) is passed straight on. A call from
// the module has its arguments described on the stack (no copies), is timed,
// and when it returns the frame is copied into the calling thread's ring:
// copy and go. A writer process does the rest (session.cpp, writer.cpp).
#pragma once

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frame_encoding.hpp"
#include "qvcsdk.h"
#include "ring.hpp"
#include "session_format.h"
#include "thread_buffer.hpp"
#include "values.hpp"

namespace qvrec {

// ---- the real core functions ------------------------------------------------

extern const char* const kFunctionNames[];
extern const bool kFunctionReturnsStatus[];
extern const int kFunctionCount;
extern std::atomic<void*> g_real[];

// Finds the core library and every real function; never returns null.
[[gnu::cold]] void* resolve(int fn);

template <class F>
inline F real(int fn) {
    void* p = g_real[fn].load(std::memory_order_acquire);
    return reinterpret_cast<F>(p != nullptr ? p : resolve(fn));
}

// ---- switch ---------------------------------------------------------------------

extern std::atomic<bool> g_on;

inline bool on() { return g_on.load(std::memory_order_relaxed); }

// On, and not stopped since by the writer (a full disk, the size limit).
// The slow path starts the recording on its first frame, and says once why
// the writer stopped it.
extern std::atomic<Shared*> g_shared;
[[gnu::cold]] bool recording_slow() noexcept;

inline bool recording() {
    Shared* sh = g_shared.load(std::memory_order_acquire);
    if (sh != nullptr && sh->stopped.load(std::memory_order_relaxed) == 0) [[likely]]
        return true;
    return recording_slow();
}

// The core library's file, for the session file's header (null before the
// first call found it).
const char* core_path() noexcept;

// ---- who is calling ------------------------------------------------------------

// The module's code, once known: a call returning there is the module's.
extern std::atomic<std::uintptr_t> g_module_lo, g_module_hi;

[[gnu::cold]] bool find_module(const void* return_address) noexcept;

inline bool from_module(const void* return_address) {
    auto a = reinterpret_cast<std::uintptr_t>(return_address);
    std::uintptr_t lo = g_module_lo.load(std::memory_order_acquire);
    if (a - lo < g_module_hi.load(std::memory_order_relaxed) - lo) return true;
    return lo == 0 && find_module(return_address);
}

// ---- calls and events being recorded ------------------------------------------------

// One call or event in progress on this thread; they nest (an event inside
// qvi_run, a call inside that event's callback).
struct Item {
    Item* parent;
    bool is_event;
    bool opened = false; // its OPEN frame is written
    int fn = 0;
    long long start_ns = 0;
    const void* args = nullptr; // an Args<...>
    std::size_t (*size_args)(const void*) = nullptr;
    char* (*write_args)(const void*, char*) = nullptr;
    const char* msg = nullptr;
    std::size_t msg_len = 0;
    const void* data = nullptr;
    int data_len = 0;
};

// What this thread is inside, innermost first.
// constinit: no dynamic initialisation, so no TLS wrapper call on each use.
extern constinit thread_local Item* tl_top [[gnu::tls_model("initial-exec")]];

[[gnu::always_inline]] inline long long now_ns() noexcept {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// Writes what an item that ended left to write (frames.cpp): its frame,
// and first the OPEN frames of what encloses it that have none yet.
void finish_item(Item& it, const Result* r) noexcept;

// Whether an item that ended is one frame and nothing else: nothing inside
// it was written, what encloses it has its OPEN frame, and no gap of this
// thread's waits to be reported. The usual case, laid out inline.
[[gnu::always_inline]] inline bool single_frame(const Item& it) noexcept {
    return !it.opened && (it.parent == nullptr || it.parent->opened) && lost_pending() == nullptr;
}

// Copies one frame of `size` bytes into this thread's ring: the fixed part
// with `kind`, `flags` and `fn`, then what `body` writes; or counts it lost.
template <class Body>
[[gnu::always_inline]] inline void copy_frame(std::size_t size, std::uint8_t kind, std::uint8_t flags, int fn,
                                              long long start_ns, Body&& body) noexcept {
    long long end = now_ns();
    Reserved res;
    if (!reserve(size, res)) [[unlikely]] {
        count_lost(size, end);
        return;
    }
    body(put_fixed(
        res.body, Fixed{kind, flags, static_cast<std::uint16_t>(fn), thread_id(), start_ns, end - start_ns}));
    commit(res);
}

// A call of the module's, from its start to its result. The usual case, a
// call with nothing recorded inside it and its enclosing item's OPEN frame
// written, is one CALL frame laid out here, inline in the generated
// function: only the copy of what crossed depends on the data.
class Call {
public:
    template <class... A>
    [[gnu::always_inline]] Call(int fn, const Args<A...>& args) noexcept : item_{tl_top, false} {
        item_.fn = fn;
        item_.args = &args;
        item_.size_args = &Args<A...>::size_erased;
        item_.write_args = &Args<A...>::write_erased;
        tl_top = &item_;
        item_.start_ns = now_ns();
    }
    ~Call() { tl_top = item_.parent; }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Whether the writer stopped the recording meanwhile is not asked again
    // here: it drops what reaches it once stopped.
    template <class R, class... A>
    [[gnu::always_inline]] void finish(const R& r, const Args<A...>& args) noexcept {
        tl_top = item_.parent;
        if (!single_frame(item_)) [[unlikely]] {
            const Result& g = r.generic();
            finish_item(item_, &g);
            return;
        }
        copy_frame(QVS_BODY_FIXED + r.size() + args.size(), QVS_CALL, 0, item_.fn, item_.start_ns,
                   [&](char* p) { args.write(r.write(p)); });
    }

private:
    Item item_;
};

// The callback handed to the core in place of the module's own.
EventCallback wrap_callback(EventCallback module_callback) noexcept;

} // namespace qvrec
