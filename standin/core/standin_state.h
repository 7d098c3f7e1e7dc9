// Internal state of the stand-in core library, shared by the hand-written
// sources and the per-function code generated from qvcsdk.h.
//
// Hot path: with the call log off, a core function reads one atomic flag,
// its own statically allocated FnState and nothing else. No lookups, no
// allocation, no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Everything declared by the public headers is exported; the rest of the
// library is hidden by -fvisibility=hidden (and the linker version script).
#pragma GCC visibility push(default)
#include "qvcsdk.h"
#include "standin_control.h"
#pragma GCC visibility pop

namespace standin {

// Guards the call log, the event queue and the programmed replies. Never
// held while an event callback runs: callbacks call back into the library.
// Like the objects it guards, it is never destroyed, so calls made while the
// process exits (from other threads or other libraries' destructors) are safe.
std::mutex& state_mutex();

// What a core function can be programmed with.
enum Caps : unsigned {
    kStatus = 1u << 0,    // returns int
    kResponse = 1u << 1,  // has a (void** res, int* res_len) pair
    kText = 1u << 2,      // returns const char*
    kOutText = 1u << 3,   // writes a text through a char** out-parameter
};

// A programmed reply: response bytes or a returned/written text. Published
// through an atomic pointer and never modified afterwards, so readers need
// no lock. Replies are owned by a list freed only by standin_reset().
struct Reply {
    bool use_default = false;    // content is the function's own default
    bool write = true;           // write the out-parameters at all
    const char* data = nullptr;  // null: write/return a null pointer
    int len = 0;                 // res_len to write
    std::size_t size = 0;        // programmed bytes, without the padding
    std::string storage;         // backs data; zero-padded up to len
};

struct FnState {
    constexpr FnState(const char* n, int n_len, unsigned c) : name(n), name_len(n_len), caps(c) {}

    const char* const name;
    const int name_len;
    const unsigned caps;
    std::atomic<int> status{0};
    std::atomic<const Reply*> reply{nullptr};  // null: the default reply
};

// The table of every core function, generated from the header.
extern FnState* const kFunctions[];
extern const int kFunctionCount;

// ---- call log -------------------------------------------------------------

extern std::atomic<bool> g_log_on;

inline bool log_on() { return g_log_on.load(std::memory_order_relaxed); }

// Wrappers telling the logger how to read a C argument.
struct TextArg {
    const char* ptr;
};
struct ReqArg {  // a lent request buffer: (void* req, int req_len)
    const void* ptr;
    int len;
};
struct OutArg {
    const void* ptr;
};
struct FnArg {
    EventCallback ptr;
};

struct Arg {
    enum class Kind : std::uint8_t { Int, Double, Bool, Text, Buffer, Out, Fn };

    explicit Arg(int v) : kind(Kind::Int), num(v) {}
    explicit Arg(long long v) : kind(Kind::Int), num(v) {}
    explicit Arg(double v) : kind(Kind::Double), dbl(v) {}
    explicit Arg(bool v) : kind(Kind::Bool), num(v) {}
    explicit Arg(TextArg t);
    explicit Arg(ReqArg r);
    explicit Arg(OutArg o) : kind(Kind::Out), addr(reinterpret_cast<std::uintptr_t>(o.ptr)) {}
    explicit Arg(FnArg f) : kind(Kind::Fn), addr(reinterpret_cast<std::uintptr_t>(f.ptr)) {}

    Kind kind;
    long long num = 0;  // Int and Bool value, Buffer length
    double dbl = 0.0;
    std::uintptr_t addr = 0;
    bool has_bytes = false;  // Text non-null, Buffer readable
    bool nul_follows = false;
    std::string bytes;
};

// Out of line and cold: only reached with the log on.
[[gnu::cold]] void append_call(const char* fn, std::vector<Arg>&& args);

template <class... A>
[[gnu::cold]] void log_call(const FnState& st, A... a) {
    std::vector<Arg> args;
    args.reserve(sizeof...(A));
    (args.emplace_back(a), ...);
    append_call(st.name, std::move(args));
}

void clear_log();

// ---- replies ----------------------------------------------------------------

inline int status_of(const FnState& st) { return st.status.load(std::memory_order_relaxed); }

inline const Reply* reply_of(const FnState& st) { return st.reply.load(std::memory_order_acquire); }

// Writes the response out-parameters; null out-pointers are left alone.
inline void write_reply(const FnState& st, void** res, int* res_len) {
    const Reply* r = reply_of(st);
    if (r == nullptr) {
        if (res != nullptr) *res = const_cast<char*>(st.name);
        if (res_len != nullptr) *res_len = st.name_len;
        return;
    }
    if (!r->write) return;
    if (res != nullptr) *res = const_cast<char*>(r->data);
    if (res_len != nullptr) *res_len = r->len;
}

// The text a const char* getter returns.
inline const char* text_reply(const FnState& st) {
    const Reply* r = reply_of(st);
    return r == nullptr || r->use_default ? st.name : r->data;
}

// ---- events -------------------------------------------------------------------

void clear_events();

// ---- misc -------------------------------------------------------------------

void reset_clocks();

}  // namespace standin
