// The replay's matching: a cursor walks the session's frames as the code
// under test makes its calls. Events recorded before a call are delivered
// when that call comes, on the calling thread; events recorded inside a call
// (qvi_run, qvi_poll) are delivered inside it; the calls made from a
// callback are matched against the calls recorded inside that event. The
// first call that differs from the recording, or a gap in it (a LOST
// frame), or a frame that is malformed, stops the replay and is kept for the
// controller to report.
//
// A session file may come from anywhere: the replay takes each frame once,
// in file order, and keeps the calls and events open at once on a stack of
// its own (never the C stack) up to kMaxNesting deep, so any file replays
// in time linear in its size and memory bounded by that limit.
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

constinit std::atomic<standin_normalizer> g_normalizer{nullptr};
constinit std::atomic<void (*)()> g_divergence_hook{nullptr};

// How many calls and events a replay follows open at once (docs/session-file.md).
// A recording nests as deep as the code under test did: a call inside a
// callback inside a call, or events of other threads while one's callback
// ran; far fewer than this. A file nesting deeper stops the replay.
constexpr std::size_t kMaxNesting = 1000;

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
    bool request_differs = false;      // the divergence is a request's bytes
    std::string divergent_request[2];  // recorded, live
    bool paced = false;
    bool timed = false;  // first_ns and started are set
    long long first_ns = 0;
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

// A frame of `kind` that can be taken as it is.
bool is_kind(const View& v, int kind) { return v.valid && !v.malformed && v.kind == kind; }

bool is_event(const View& v) { return is_kind(v, QVS_EVENT) || is_kind(v, QVS_EVENT_OPEN); }

// What the code under test did when the replay diverged, described only then.
struct Came {
    const char* text;                        // a description, or a function's name
    const std::vector<Arg>* args = nullptr;  // with the call's arguments
    std::string describe() const { return args != nullptr ? describe_call(text, *args) : text; }
};

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
        if (auto hook = g_divergence_hook.load(std::memory_order_acquire); hook != nullptr) hook();
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
    if (!s.timed) {
        s.timed = true;
        s.first_ns = v.start_ns;
        s.started = std::chrono::steady_clock::now();
        return;
    }
    // Recorded times are whatever the file holds: no overflow, no waiting
    // for a time before the first one.
    long long ahead = 0;
    if (__builtin_sub_overflow(v.start_ns, s.first_ns, &ahead) || ahead <= 0) return;
    auto room = std::chrono::steady_clock::time_point::max() - s.started;
    auto wait = std::chrono::nanoseconds(ahead);
    std::this_thread::sleep_until(wait < room ? s.started + wait
                                              : std::chrono::steady_clock::time_point::max());
}

// Room to open the call or event at the cursor; a divergence when the file
// nests deeper.
bool room_to_nest(const Came& came) {
    State& s = st();
    if (s.stack.size() < kMaxNesting) return true;
    diverge(describe_frame(s.file, s.file.peek()) + " nested deeper than a replay follows (" +
                std::to_string(kMaxNesting) + " calls and events open at once)",
            came.describe());
    return false;
}

// Delivers the event at the cursor and, for an OPEN frame, everything up to
// its CLOSE: events of other threads recorded while its callback ran, each
// awaiting its own CLOSE in turn. Those wait on s.stack, above `base`, so
// nesting costs no C stack. Caller holds `lock`; it is released while a
// callback runs.
void deliver(std::unique_lock<std::mutex>& lock, const Came& came) {
    State& s = st();
    const std::size_t base = s.stack.size();
    do {
        if (s.stack.size() > base) {  // the innermost recorded callback has returned
            const View& next = s.file.peek();
            if (is_kind(next, QVS_EVENT_CLOSE)) {
                s.file.consume();
                s.stack.pop_back();
                continue;
            }
            if (!is_event(next)) {
                diverge_at_cursor(s.stack.back().what);
                break;
            }
        }
        if (!room_to_nest(came)) break;
        View v = s.file.peek();
        pace(v);
        RecEvent e = read_event(v);
        bool open = v.kind == QVS_EVENT_OPEN;
        s.file.consume();
        s.stack.push_back(Ctx{true, open, "the return from the callback of " + describe_message(e)});
        if (EventCallback cb = registered_callback(); cb != nullptr) {
            lock.unlock();
            cb(e.msg, const_cast<char*>(e.data), e.data_len);
            lock.lock();
        }
        if (s.diverged) break;
        if (!open) s.stack.pop_back();  // an OPEN one stays until its CLOSE
    } while (s.stack.size() > base);
    s.stack.resize(base);
}

// Delivers the events at the cursor; false once diverged.
bool deliver_events(std::unique_lock<std::mutex>& lock, const Came& came) {
    State& s = st();
    while (!s.diverged && is_event(s.file.peek())) deliver(lock, came);
    return !s.diverged;
}

// The events and calls recorded inside a call, up to its CLOSE frame.
Answer inside_call(std::unique_lock<std::mutex>& lock, const FnState& fn) {
    State& s = st();
    std::string what = std::string("the return from ") + fn.name;
    Answer answer = stopped();
    s.stack.push_back(Ctx{false, true, what});
    if (deliver_events(lock, Came{what.c_str()})) {
        const View& next = s.file.peek();
        if (is_kind(next, QVS_CALL_CLOSE)) {
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

// Whether the call's arguments are the recorded ones; a request is compared
// through the normalizer when there is one. At the first request that
// differs, both are kept for the divergence's report.
bool same_args(const FnState& fn, const std::vector<Arg>& args, const std::vector<RecArg>& rec,
               bool& failed) {
    State& s = st();
    if (rec.size() != args.size()) return false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const Arg& a = args[i];
        const RecArg& r = rec[i];
        bool request = a.kind == Arg::Kind::Buffer && a.has_bytes && r.tag == QVS_ARG_BUFFER && r.has_bytes;
        if (!request) {
            if (!same(a, r)) return false;
            continue;
        }
        int verdict = STANDIN_UNNORMALIZED;
        if (standin_normalizer n = g_normalizer.load(std::memory_order_acquire); n != nullptr) {
            verdict = n(fn.name, r.bytes, r.len, reinterpret_cast<const char*>(a.bytes.data()),
                        static_cast<int>(a.bytes.size()));
        }
        if (verdict == STANDIN_UNNORMALIZED) verdict = same(a, r) ? STANDIN_SAME : STANDIN_DIFFERENT;
        if (verdict == STANDIN_SAME) continue;
        failed = verdict == STANDIN_NORMALIZER_FAILED;
        if (!s.diverged) {
            s.request_differs = true;
            s.divergent_request[0].assign(r.bytes, static_cast<std::size_t>(r.len));
            s.divergent_request[1].assign(reinterpret_cast<const char*>(a.bytes.data()), a.bytes.size());
        }
        return false;
    }
    return true;
}

Answer match_locked(std::unique_lock<std::mutex>& lock, const FnState& fn, const std::vector<Arg>& args) {
    State& s = st();
    if (!s.stack.empty() && s.stack.back().is_event && !s.stack.back().open) {
        return diverge(s.stack.back().what, describe_call(fn.name, args));
    }
    if (!deliver_events(lock, Came{fn.name, &args})) return stopped();
    View v = s.file.peek();
    if (!is_kind(v, QVS_CALL) && !is_kind(v, QVS_CALL_OPEN)) {
        return diverge_at_cursor(describe_call(fn.name, args));
    }
    Reader r = v.reader();
    Answer answer;
    if (v.kind == QVS_CALL) answer.rec = read_recorded(r);
    std::vector<RecArg> rec;
    bool failed = false;
    if (s.file.function(v.fn) != &fn || !read_args(r, rec) || !same_args(fn, args, rec, failed)) {
        return diverge_at_cursor(describe_call(fn.name, args) + (failed ? " (its normalizer raised)" : ""));
    }
    if (v.kind == QVS_CALL_OPEN && !room_to_nest(Came{fn.name, &args})) return stopped();
    pace(v);
    s.file.consume();
    return v.kind == QVS_CALL ? answer : inside_call(lock, fn);
}

void reset_locked() {
    State& s = st();
    g_replaying.store(false);
    g_normalizer.store(nullptr, std::memory_order_release);  // the controller's, for one replay
    g_divergence_hook.store(nullptr, std::memory_order_release);
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
    s.request_differs = false;
    if (!s.file.open(path, why)) return false;
    s.paced = paced;
    s.timed = false;
    g_replaying.store(true);
    return true;
}

bool finish_replay() {
    std::unique_lock lock(replay_mutex());
    State& s = st();
    if (s.file.is_open() && deliver_events(lock, Came{"the end of the session"}) && s.file.peek().valid) {
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

const std::string* divergent_request(int which) {
    std::lock_guard lock(replay_mutex());
    State& s = st();
    if (!s.diverged || !s.request_differs || which < 0 || which > 1) return nullptr;
    return &s.divergent_request[which];
}

void set_normalizer(standin_normalizer n) { g_normalizer.store(n, std::memory_order_release); }

void set_divergence_hook(void (*hook)()) { g_divergence_hook.store(hook, std::memory_order_release); }

long long replay_frames() {
    std::lock_guard lock(replay_mutex());
    return st().file.frames();
}

}  // namespace standin
