// The call log: every core call with its C arguments as the core received
// them. Core functions append to it; the controller reads it as JSON.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "functions.h"

namespace standin {

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

// One C argument as received: its value, or the bytes it points at.
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

template <class... A>
std::vector<Arg> make_args(A... a) {
    std::vector<Arg> args;
    args.reserve(sizeof...(A));
    (args.emplace_back(a), ...);
    return args;
}

// Out of line and cold: only reached with the log on.
[[gnu::cold]] void append_call(const char* fn, std::vector<Arg>&& args);

template <class... A>
[[gnu::cold]] void log_call(const FnState& st, A... a) {
    append_call(st.name, make_args(a...));
}

// Empties the log and switches it on (standin_reset).
void reset_log();

}  // namespace standin
