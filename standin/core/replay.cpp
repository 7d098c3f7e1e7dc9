// The replay's matching: a cursor walks the session's frames as the code
// under test makes its calls. Events recorded before a call are delivered
// when that call comes, on the calling thread; events recorded inside a call
// (qvi_run, qvi_poll) are delivered inside it; the calls made from a
// callback are matched against the calls recorded inside that event. The
// first call that differs from the recording, or a gap in it (a LOST
// frame), stops the replay and is kept for the controller to report.
#include "replay.h"

#include <bit>
#include <chrono>
#include <cstdio>
#include <thread>

#include "callback.h"
#include "replay_text.h"
#include "session_format.h"

namespace standin {

constinit std::atomic<bool> g_replaying{false};

namespace {

struct Ctx {
    bool is_event;
    bool open;         // an OPEN frame: its CLOSE is awaited
    std::string what;  // what the recording does next, for a divergence report
};

struct State {
    SessionFile file;
    std::vector<Ctx> stack;
    bool diverged = false;
    std::string divergence[3];
    bool paced = false;
    long long first_ns = -1;
    std::chrono::steady_clock::time_point started;
};

State& st() {
    static auto* s = new State;  // never destroyed, like state_mutex()
    return *s;
}

std::mutex& replay_mutex() {
    static auto* m = new std::mutex;
    return *m;
}

bool is_event(const View& v) { return v.valid && (v.kind == QVS_EVENT || v.kind == QVS_EVENT_OPEN); }

Answer stopped() {
    Answer a;
    a.diverged = true;
    return a;
}

// Caller holds replay_mutex().
Answer diverge(std::string expected, std::string got) {
    State& s = st();
    if (!s.diverged) {
        s.diverged = true;
        s.divergence[0] = "frame " + std::to_string(s.file.frames()) + " (byte " +
                          std::to_string(static_cast<long long>(s.file.offset())) + ")";
        s.divergence[1] = std::move(expected);
        s.divergence[2] = std::move(got);
        std::fprintf(stderr, "stand-in replay: diverged at %s: recorded %s; got %s\n",
                     s.divergence[0].c_str(), s.divergence[1].c_str(), s.divergence[2].c_str());
    }
    return stopped();
}

Answer diverge_at_cursor(std::string got) {
    State& s = st();
    return diverge(describe_frame(s.file, s.file.peek()), std::move(got));
}

bool same(const Arg& a, const RecArg& r) {
    switch (a.kind) {
    case Arg::Kind::Int: return r.tag == QVS_ARG_INT && r.i == a.num;
    case Arg::Kind::Bool: return r.tag == QVS_ARG_BOOL && (r.i != 0) == (a.num != 0);
    case Arg::Kind::Double:
        return r.tag == QVS_ARG_DOUBLE &&
               std::bit_cast<std::uint64_t>(r.d) == std::bit_cast<std::uint64_t>(a.dbl);
    case Arg::Kind::Text:
        if (!a.has_bytes) return r.tag == QVS_ARG_NULL;
        if (r.tag == QVS_ARG_REDACTED) return r.original == a.bytes.size();
        return r.tag == QVS_ARG_TEXT && static_cast<std::size_t>(r.len) == a.bytes.size() &&
               std::memcmp(r.bytes, a.bytes.data(), a.bytes.size()) == 0;
    case Arg::Kind::Buffer:
        if (r.tag != QVS_ARG_BUFFER || r.len != a.num || r.has_bytes != a.has_bytes) return false;
        return !a.has_bytes || std::memcmp(r.bytes, a.bytes.data(), a.bytes.size()) == 0;
    case Arg::Kind::Out: return r.tag == QVS_ARG_OUT && r.has_bytes == (a.addr != 0);
    case Arg::Kind::Fn: return r.tag == QVS_ARG_FN && r.has_bytes == (a.addr != 0);
    }
    return false;
}

void pace(const View& v) {
    State& s = st();
    if (!s.paced) return;
    if (s.first_ns < 0) {
        s.first_ns = v.start_ns;
        s.started = std::chrono::steady_clock::now();
        return;
    }
    std::this_thread::sleep_until(s.started + std::chrono::nanoseconds(v.start_ns - s.first_ns));
}

// Delivers the event at the cursor. Caller holds `lock`; it is released
// while the callback runs.
void deliver(std::unique_lock<std::mutex>& lock) {
    State& s = st();
    View v = s.file.peek();
    pace(v);
    RecEvent e = read_event(v);
    if (!e.ok) {
        diverge("a readable event", "a malformed frame");
        return;
    }
    bool open = v.kind == QVS_EVENT_OPEN;
    s.file.consume();
    std::string what = "the return from the callback of " + describe_message(e);
    s.stack.push_back(Ctx{true, open, what});
    if (EventCallback cb = registered_callback(); cb != nullptr) {
        lock.unlock();
        cb(e.msg, const_cast<char*>(e.data), e.data_len);
        lock.lock();
    }
    s.stack.pop_back();
    if (s.diverged || !open) return;
    for (;;) {  // the recorded callback returns here
        const View& next = s.file.peek();
        if (next.valid && next.kind == QVS_EVENT_CLOSE) {
            s.file.consume();
            return;
        }
        if (is_event(next)) {
            deliver(lock);  // from another thread, while this callback ran
            if (s.diverged) return;
            continue;
        }
        diverge_at_cursor(what);
        return;
    }
}

// Delivers the events at the cursor; false once diverged.
bool deliver_events(std::unique_lock<std::mutex>& lock) {
    State& s = st();
    while (!s.diverged && is_event(s.file.peek())) deliver(lock);
    return !s.diverged;
}

// The events and calls recorded inside a call, up to its CLOSE frame.
Answer inside_call(std::unique_lock<std::mutex>& lock, const FnState& fn) {
    State& s = st();
    std::string what = std::string("the return from ") + fn.name;
    s.stack.push_back(Ctx{false, true, what});
    Answer answer = stopped();
    if (deliver_events(lock)) {
        const View& next = s.file.peek();
        if (next.valid && next.kind == QVS_CALL_CLOSE) {
            Reader r = next.reader();
            answer.diverged = false;
            answer.rec = read_recorded(r);
            s.file.consume();
        } else {
            diverge_at_cursor(what);
        }
    }
    s.stack.pop_back();
    return answer;
}

Answer match_locked(std::unique_lock<std::mutex>& lock, const FnState& fn, const std::vector<Arg>& args) {
    State& s = st();
    if (!s.stack.empty() && s.stack.back().is_event && !s.stack.back().open) {
        return diverge(s.stack.back().what, describe_call(fn.name, args));
    }
    if (!deliver_events(lock)) return stopped();
    View v = s.file.peek();
    if (!v.valid || (v.kind != QVS_CALL && v.kind != QVS_CALL_OPEN)) {
        return diverge_at_cursor(describe_call(fn.name, args));
    }
    Reader r = v.reader();
    Answer answer;
    if (v.kind == QVS_CALL) answer.rec = read_recorded(r);
    std::vector<RecArg> rec;
    bool ok = read_args(r, rec) && rec.size() == args.size();
    for (std::size_t i = 0; ok && i < args.size(); ++i) ok = same(args[i], rec[i]);
    if (s.file.function(v.fn) != &fn || !ok) return diverge_at_cursor(describe_call(fn.name, args));
    pace(v);
    s.file.consume();
    return v.kind == QVS_CALL ? answer : inside_call(lock, fn);
}

void reset_locked() {
    State& s = st();
    g_replaying.store(false);
    s.file.close();
    s.stack.clear();
}

}  // namespace

int Answer::with_response(void** res_out, int* len_out) const {
    if (!diverged && rec.has_response) {
        if (res_out != nullptr) *res_out = const_cast<char*>(rec.res);
        if (len_out != nullptr) *len_out = rec.res_len;
    }
    return status();
}

int Answer::with_out_text(char** out) const {
    if (!diverged && rec.has_out_text && out != nullptr) *out = const_cast<char*>(rec.text);
    return status();
}

Answer replay_match(const FnState& fn, std::vector<Arg>&& args) {
    std::unique_lock lock(replay_mutex());
    if (!st().file.is_open()) return stopped();
    return match_locked(lock, fn, args);
}

bool start_replay(const char* path, bool paced, std::string& why) {
    std::lock_guard lock(replay_mutex());
    State& s = st();
    reset_locked();
    s.diverged = false;
    for (auto& d : s.divergence) d.clear();
    if (!s.file.open(path, why)) return false;
    s.paced = paced;
    s.first_ns = -1;
    g_replaying.store(true);
    return true;
}

bool finish_replay() {
    std::unique_lock lock(replay_mutex());
    State& s = st();
    if (s.file.is_open() && deliver_events(lock) && s.file.peek().valid) {
        diverge_at_cursor("the end of the session");
    }
    bool diverged = s.diverged;
    reset_locked();
    return diverged;
}

void end_replay() {
    std::lock_guard lock(replay_mutex());
    reset_locked();
}

const char* divergence(int part) {
    std::lock_guard lock(replay_mutex());
    State& s = st();
    if (!s.diverged || part < 0 || part > 2) return nullptr;
    return s.divergence[part].c_str();
}

long long replay_frames() {
    std::lock_guard lock(replay_mutex());
    return st().file.frames();
}

}  // namespace standin
