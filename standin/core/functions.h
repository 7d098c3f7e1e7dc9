// The bottom layer of the stand-in core library: the table of core
// functions (generated from qvcsdk.h) with what each one is programmed to
// answer, and the lock that guards the library's shared state. Every other
// file builds on this one; it calls none of them.
//
// Hot path: with the call log off, a core function reads a few atomic
// flags, its own statically allocated FnState and nothing else. No lookups,
// no allocation, no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

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

// The function of that C name, or null.
FnState* find_function(const char* name);
FnState* find_function(const char* name, std::size_t len);

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

}  // namespace standin
