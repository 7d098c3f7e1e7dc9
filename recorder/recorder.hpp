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

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qvcsdk.h"
#include "ring.hpp"
#include "session_format.h"

namespace qvrec {

// ---- the real core functions ------------------------------------------------

extern const char* const kFunctionNames[];
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
extern std::atomic<Shared*> g_shared;
[[gnu::cold]] bool recording_slow() noexcept;

inline bool recording() {
    Shared* sh = g_shared.load(std::memory_order_acquire);
    if (sh != nullptr) [[likely]]
        return sh->stopped.load(std::memory_order_relaxed) == 0;
    return recording_slow();
}

// The core library's file, for the session file's header (null before the
// first call found it).
const char* core_path() noexcept;
void publish_core_path(const char* path) noexcept;

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

// ---- what a call received ---------------------------------------------------------

struct Arg {
    explicit Arg(std::uint8_t t) : tag(t), i(0) {}

    std::uint8_t tag; // qvs_arg
    int len = 0;      // buffer length, or text length
    union {
        long long i;
        double d;
        const void* p;
    };
    std::size_t text_len() const { return static_cast<std::size_t>(len); }
};

inline Arg arg_int(long long v) {
    Arg a(QVS_ARG_INT);
    a.i = v;
    return a;
}
inline Arg arg_double(double v) {
    Arg a(QVS_ARG_DOUBLE);
    a.d = v;
    return a;
}
inline Arg arg_bool(bool v) {
    Arg a(QVS_ARG_BOOL);
    a.i = v ? 1 : 0;
    return a;
}
inline Arg arg_text(const char* v) {
    Arg a(v != nullptr ? std::uint8_t{QVS_ARG_TEXT} : std::uint8_t{QVS_ARG_NULL});
    a.p = v;
    a.len = v != nullptr ? static_cast<int>(__builtin_strlen(v)) : 0;
    return a;
}
// A secret text: only its length reaches the file.
inline Arg arg_secret(const char* v) {
    Arg a(v != nullptr ? std::uint8_t{QVS_ARG_REDACTED} : std::uint8_t{QVS_ARG_NULL});
    a.p = v;
    return a;
}
inline Arg arg_buffer(const void* v, int len) {
    Arg a(QVS_ARG_BUFFER);
    a.p = v;
    a.len = len;
    return a;
}
inline Arg arg_out(const void* v) {
    Arg a(QVS_ARG_OUT);
    a.p = v;
    return a;
}
inline Arg arg_fn(EventCallback v) {
    Arg a(QVS_ARG_FN);
    a.p = reinterpret_cast<const void*>(v);
    return a;
}

// ---- what it gave back ------------------------------------------------------------

struct Result {
    std::uint8_t tag = QVS_RESULT_VOID; // qvs_result
    std::uint8_t out = QVS_OUT_NONE;    // qvs_output
    long long i = 0;
    double d = 0.0;
    const char* text = nullptr; // result text, or the written out-text
    const void* res = nullptr;  // response
    int res_len = 0;
    std::size_t len = 0; // of the text
    std::size_t text_len() const { return len; }
};

inline Result result_void() { return {}; }
inline Result result_int(long long v) {
    Result r;
    r.tag = QVS_RESULT_INT;
    r.i = v;
    return r;
}
inline Result result_double(double v) {
    Result r;
    r.tag = QVS_RESULT_DOUBLE;
    r.d = v;
    return r;
}
inline Result result_text(const char* v, bool secret) {
    Result r;
    r.tag = v == nullptr ? QVS_RESULT_NULL : secret ? QVS_RESULT_REDACTED : QVS_RESULT_TEXT;
    r.text = v;
    r.len = v != nullptr ? __builtin_strlen(v) : 0;
    return r;
}
// The response pair is read only on success, as callers read it.
inline Result result_response(int status, void* const* res, const int* res_len) {
    Result r = result_int(status);
    if (status == 0 && res != nullptr && res_len != nullptr) {
        r.out = QVS_OUT_RESPONSE;
        r.res = *res;
        r.res_len = *res_len;
    }
    return r;
}
inline Result result_out_text(int status, char* const* out) {
    Result r = result_int(status);
    if (status == 0 && out != nullptr) {
        r.out = QVS_OUT_TEXT;
        r.text = *out;
        r.len = r.text != nullptr ? __builtin_strlen(r.text) : 0;
    }
    return r;
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
    const Arg* args = nullptr;
    int nargs = 0;
    const char* msg = nullptr;
    std::size_t msg_len = 0;
    const void* data = nullptr;
    int data_len = 0;
};

class Call {
public:
    Call(int fn, const Arg* args, int nargs) noexcept;
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    void finish(const Result& r) noexcept;

private:
    Item item_;
};

// The callback handed to the core in place of the module's own.
EventCallback wrap_callback(EventCallback module_callback) noexcept;

long long now_ns() noexcept;

} // namespace qvrec
