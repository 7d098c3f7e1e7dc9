// Replay of a recorded session: while a replay is on, every core function
// answers from the session file instead of its programmed reply.
#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "call_log.h"
#include "session_reader.h"

namespace standin {

extern std::atomic<bool> g_replaying;

inline bool replaying() { return g_replaying.load(std::memory_order_relaxed); }

// A recorded answer. After a divergence every call gets kDiverged.
struct Answer {
    static constexpr int kDiverged = STANDIN_REPLAY_DIVERGED;

    bool diverged = false;
    Recorded rec;

    int status() const { return diverged ? kDiverged : static_cast<int>(rec.value); }
    long long integer() const { return diverged ? kDiverged : rec.value; }
    double real() const { return diverged ? 0.0 : rec.dbl; }
    const char* returned_text() const { return diverged ? "<replay diverged>" : rec.text; }
    int with_response(void** res_out, int* len_out) const;
    int with_out_text(char** out) const;
};

// Matches one call against the recording (delivering the recorded events
// that come before it, and those inside it) and gives its recorded answer.
Answer replay_match(const FnState& st, std::vector<Arg>&& args);

template <class... A>
Answer replay_call(const FnState& st, A... a) {
    return replay_match(st, make_args(a...));
}

// The controller's side (replay_control.cpp).
bool start_replay(const char* path, bool paced, std::string& why);
// Delivers the events recorded after the last call, checks that the whole
// recording was used and ends the replay; true when it diverged.
bool finish_replay();
// Ends a replay without a check (standin_reset).
void end_replay();
// 0: the position, 1: what was recorded, 2: what came; null before a divergence.
const char* divergence(int part);
long long replay_frames();
// The request bytes of a divergence on one: 0 recorded, 1 live; null otherwise.
const std::string* divergent_request(int which);
void set_normalizer(standin_normalizer n);
void set_divergence_hook(void (*hook)());

}  // namespace standin
