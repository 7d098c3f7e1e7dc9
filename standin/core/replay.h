// Replay of a recorded session: while a replay is on, every core function
// answers from the session file instead of its programmed reply.
#pragma once

#include <utility>
#include <vector>

#include "standin_state.h"

namespace standin {

extern std::atomic<bool> g_replaying;

inline bool replaying() { return g_replaying.load(std::memory_order_relaxed); }

// A recorded answer. After a divergence every call gets kDiverged.
struct Answer {
    static constexpr int kDiverged = STANDIN_REPLAY_DIVERGED;

    bool diverged = false;
    long long value = 0;  // int / long long result
    double dbl = 0.0;
    const char* text = nullptr;  // returned text, or the text written through char**
    bool has_response = false;
    bool res_null = false;
    int res_len = 0;
    const char* res = nullptr;
    bool has_out_text = false;

    int status() const { return diverged ? kDiverged : static_cast<int>(value); }
    long long integer() const { return diverged ? kDiverged : value; }
    double real() const { return diverged ? 0.0 : dbl; }
    const char* returned_text() const { return diverged ? "<replay diverged>" : text; }
    int with_response(void** res_out, int* len_out) const;
    int with_out_text(char** out) const;
};

// Matches one call against the recording (delivering the recorded events
// that come before it, and those inside it) and gives its recorded answer.
Answer replay_match(const FnState& st, std::vector<Arg>&& args);

template <class... A>
Answer replay_call(const FnState& st, A... a) {
    std::vector<Arg> args;
    args.reserve(sizeof...(A));
    (args.emplace_back(a), ...);
    return replay_match(st, std::move(args));
}

// The callback the module registered (events.cpp).
EventCallback registered_callback();

void end_replay();

}  // namespace standin
