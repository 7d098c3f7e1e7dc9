// Replay of a session file (see docs/session-file.md): the file is mapped,
// and a cursor walks its frames as the code under test makes its calls.
// Events recorded before a call are delivered when that call comes, on the
// calling thread; events recorded inside a call (qvi_run, qvi_poll) are
// delivered inside it; the calls made from a callback are matched against
// the calls recorded inside that event. The first call that differs from
// the recording stops the replay and is kept for the controller to report.
#include "replay.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "session_format.h"

namespace standin {

constinit std::atomic<bool> g_replaying{false};

namespace {

// ---- the mapped file and its frames ------------------------------------------------

struct View {
    bool valid = false;
    std::uint8_t kind = 0;
    int fn = 0;
    long long start_ns = 0;
    const char* body = nullptr;  // after the fixed part
    const char* end = nullptr;
    std::size_t offset = 0;
};

class Reader {
public:
    explicit Reader(const char* p, const char* e) : p_(p), e_(e) {}
    bool ok() const { return ok_; }
    template <class T>
    T get() {
        T v{};
        if (e_ - p_ < static_cast<std::ptrdiff_t>(sizeof v)) {
            ok_ = false;
            return v;
        }
        std::memcpy(&v, p_, sizeof v);
        p_ += sizeof v;
        return v;
    }
    const char* take(std::size_t n) {
        if (static_cast<std::size_t>(e_ - p_) < n) {
            ok_ = false;
            return nullptr;
        }
        const char* at = p_;
        p_ += n;
        return at;
    }
    // len:u32 bytes NUL; returns the bytes (NUL-terminated in the file).
    const char* text(std::uint32_t& len) {
        len = get<std::uint32_t>();
        const char* t = take(len + 1);
        return t;
    }
    const char* pos() const { return p_; }

private:
    const char* p_;
    const char* e_;
    bool ok_ = true;
};

// One recorded argument, pointing into the file.
struct RecArg {
    std::uint8_t tag = 0;
    long long i = 0;
    double d = 0.0;
    const char* bytes = nullptr;
    long long len = 0;       // text/bytes length, or req_len
    bool has_bytes = false;  // buffer readable, out/fn non-null
    std::uint32_t original = 0;
};

struct Ctx {
    bool is_event;
    bool open;         // an OPEN frame: its CLOSE is awaited
    std::string what;  // what the recording does next, for a divergence report
};

struct State {
    void* map = nullptr;
    std::size_t size = 0;
    std::size_t header_size = 0;
    std::vector<const FnState*> fns;  // recorded function index -> stand-in function
    std::vector<std::string> fn_names;
    std::size_t cursor = 0;
    long long frames = 0;
    View peeked;
    bool torn = false;
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

std::string& error_text() {
    static auto* e = new std::string;
    return *e;
}

// Adler-32, as zlib computes it.
std::uint32_t checksum(const char* p, std::size_t n) {
    constexpr std::uint32_t kBase = 65521;
    std::uint32_t a = 1, b = 0;
    while (n > 0) {
        std::size_t chunk = n < 5552 ? n : 5552;
        n -= chunk;
        for (std::size_t i = 0; i < chunk; ++i) {
            a += static_cast<unsigned char>(*p++);
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return b << 16 | a;
}

// Caller holds replay_mutex(). The frame at the cursor; invalid at the end
// of the file or at a torn last frame.
const View& peek() {
    State& s = st();
    if (s.peeked.valid || s.map == nullptr) return s.peeked;
    const char* base = static_cast<const char*>(s.map);
    std::size_t at = s.cursor;
    if (at + QVS_FRAME_PREFIX > s.size) {
        s.torn = at < s.size;
        return s.peeked;
    }
    std::uint32_t len, sum;
    std::memcpy(&len, base + at, 4);
    std::memcpy(&sum, base + at + 4, 4);
    std::size_t body = at + QVS_FRAME_PREFIX;
    if (len < QVS_BODY_FIXED || body + len > s.size || checksum(base + body, len) != sum) {
        s.torn = true;
        return s.peeked;
    }
    View v;
    v.valid = true;
    v.offset = at;
    Reader r(base + body, base + body + len);
    v.kind = r.get<std::uint8_t>();
    r.get<std::uint8_t>();
    v.fn = r.get<std::uint16_t>();
    r.get<std::uint32_t>();
    v.start_ns = r.get<std::int64_t>();
    r.get<std::int64_t>();
    v.body = r.pos();
    v.end = base + body + len;
    s.peeked = v;
    return s.peeked;
}

void consume() {
    State& s = st();
    if (!s.peeked.valid) return;
    s.cursor = static_cast<std::size_t>(s.peeked.end - static_cast<const char*>(s.map));
    s.peeked.valid = false;
    ++s.frames;
}

// ---- descriptions, for the divergence report ------------------------------------------

void quote(std::string& out, const char* p, std::size_t n) {
    constexpr std::size_t kShown = 48;
    out += "b'";
    for (std::size_t i = 0; i < n && i < kShown; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    out += n > kShown ? "...'" : "'";
}

std::string number(long long v) { return std::to_string(v); }

std::string real_text(double d) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", d);
    return b;
}

std::string describe_arg(const Arg& a) {
    std::string out;
    switch (a.kind) {
    case Arg::Kind::Int: return number(a.num);
    case Arg::Kind::Bool: return a.num ? "true" : "false";
    case Arg::Kind::Double: return real_text(a.dbl);
    case Arg::Kind::Text:
        if (!a.has_bytes) return "NULL";
        quote(out, a.bytes.data(), a.bytes.size());
        return out;
    case Arg::Kind::Buffer:
        if (!a.has_bytes) return "(" + number(a.num) + " B, unreadable)";
        quote(out, a.bytes.data(), a.bytes.size());
        return out + " (" + number(a.num) + " B)";
    case Arg::Kind::Out: return a.addr != 0 ? "out" : "NULL";
    case Arg::Kind::Fn: return a.addr != 0 ? "fn" : "NULL";
    }
    return "?";
}

std::string describe_rec(const RecArg& a) {
    std::string out;
    switch (a.tag) {
    case QVS_ARG_INT: return number(a.i);
    case QVS_ARG_BOOL: return a.i ? "true" : "false";
    case QVS_ARG_DOUBLE: return real_text(a.d);
    case QVS_ARG_TEXT: quote(out, a.bytes, static_cast<std::size_t>(a.len)); return out;
    case QVS_ARG_NULL: return "NULL";
    case QVS_ARG_REDACTED: return std::string(a.bytes, static_cast<std::size_t>(a.len));
    case QVS_ARG_BUFFER:
        if (!a.has_bytes) return "(" + number(a.len) + " B, unreadable)";
        quote(out, a.bytes, static_cast<std::size_t>(a.len));
        return out + " (" + number(a.len) + " B)";
    case QVS_ARG_OUT: return a.has_bytes ? "out" : "NULL";
    case QVS_ARG_FN: return a.has_bytes ? "fn" : "NULL";
    default: return "?";
    }
}

std::string describe_call(const char* name, const std::vector<Arg>& args) {
    std::string out = name;
    out += '(';
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i != 0) out += ", ";
        out += describe_arg(args[i]);
    }
    return out + ')';
}

const char* fn_name(int index) {
    State& s = st();
    return index >= 0 && static_cast<std::size_t>(index) < s.fn_names.size() ? s.fn_names[index].c_str()
                                                                             : "?";
}

bool read_args(Reader& r, std::vector<RecArg>& out) {
    int n = r.get<std::uint8_t>();
    for (int k = 0; k < n && r.ok(); ++k) {
        RecArg a;
        a.tag = r.get<std::uint8_t>();
        std::uint32_t len = 0;
        switch (a.tag) {
        case QVS_ARG_INT: a.i = r.get<std::int64_t>(); break;
        case QVS_ARG_DOUBLE: a.d = r.get<double>(); break;
        case QVS_ARG_BOOL: a.i = r.get<std::uint8_t>(); break;
        case QVS_ARG_TEXT:
            a.bytes = r.text(len);
            a.len = len;
            break;
        case QVS_ARG_NULL: break;
        case QVS_ARG_REDACTED:
            a.original = r.get<std::uint32_t>();
            a.bytes = r.text(len);
            a.len = len;
            break;
        case QVS_ARG_BUFFER:
            a.len = r.get<std::int32_t>();
            a.has_bytes = r.get<std::uint8_t>() != 0;
            if (a.has_bytes) a.bytes = r.take(static_cast<std::size_t>(a.len));
            break;
        case QVS_ARG_OUT:
        case QVS_ARG_FN: a.has_bytes = r.get<std::uint8_t>() != 0; break;
        default: return false;
        }
        out.push_back(a);
    }
    return r.ok();
}

Answer read_answer(Reader& r);

std::string describe_frame(const View& v) {
    if (!v.valid) {
        return st().torn ? "the end of the recording (its last frame is torn)" : "the end of the recording";
    }
    Reader r(v.body, v.end);
    switch (v.kind) {
    case QVS_CALL:
    case QVS_CALL_OPEN: {
        if (v.kind == QVS_CALL) read_answer(r);
        std::vector<RecArg> args;
        read_args(r, args);
        std::string out = fn_name(v.fn);
        out += '(';
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i != 0) out += ", ";
            out += describe_rec(args[i]);
        }
        return out + ')';
    }
    case QVS_CALL_CLOSE: return std::string("the return from ") + fn_name(v.fn);
    case QVS_EVENT:
    case QVS_EVENT_OPEN: {
        std::uint32_t len = 0;
        const char* msg = r.text(len);
        std::string out = "the event ";
        quote(out, msg != nullptr ? msg : "", msg != nullptr ? len : 0);
        return out;
    }
    case QVS_EVENT_CLOSE: return "the return from the event callback";
    default: return "a frame of unknown kind " + number(v.kind);
    }
}

std::string position() {
    State& s = st();
    std::size_t at = s.peeked.valid ? s.peeked.offset : s.cursor;
    return "frame " + number(s.frames) + " (byte " + number(static_cast<long long>(at)) + ")";
}

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
        s.divergence[0] = position();
        s.divergence[1] = std::move(expected);
        s.divergence[2] = std::move(got);
        std::fprintf(stderr, "stand-in replay: diverged at %s: recorded %s; got %s\n",
                     s.divergence[0].c_str(), s.divergence[1].c_str(), s.divergence[2].c_str());
    }
    return stopped();
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

// The result part of a CALL (after its arguments) or CALL_CLOSE frame.
Answer read_answer(Reader& r) {
    Answer a;
    std::uint8_t tag = r.get<std::uint8_t>();
    std::uint32_t len = 0;
    switch (tag) {
    case QVS_RESULT_INT: a.value = r.get<std::int64_t>(); break;
    case QVS_RESULT_DOUBLE: a.dbl = r.get<double>(); break;
    case QVS_RESULT_TEXT: a.text = r.text(len); break;
    case QVS_RESULT_REDACTED:
        r.get<std::uint32_t>();
        a.text = r.text(len);
        break;
    default: break;
    }
    std::uint8_t out = r.get<std::uint8_t>();
    if (out == QVS_OUT_RESPONSE) {
        a.has_response = true;
        a.res_null = r.get<std::uint8_t>() != 0;
        a.res_len = r.get<std::int32_t>();
        a.res = a.res_null ? nullptr : a.res_len > 0 ? r.take(static_cast<std::size_t>(a.res_len)) : "";
    } else if (out == QVS_OUT_TEXT) {
        a.has_out_text = true;
        if (r.get<std::uint8_t>() == QVS_ARG_TEXT) a.text = r.text(len);
    }
    return a;
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

// Caller holds `lock`; it is released while the callback runs.
void deliver(std::unique_lock<std::mutex>& lock) {
    State& s = st();
    View v = peek();
    pace(v);
    Reader r(v.body, v.end);
    std::uint32_t len = 0;
    const char* msg = r.text(len);
    int data_len = r.get<std::int32_t>();
    bool null_data = r.get<std::uint8_t>() != 0;
    const char* data = r.pos();
    if (msg == nullptr) {
        diverge("a readable event", "a malformed frame");
        return;
    }
    bool open = v.kind == QVS_EVENT_OPEN;
    consume();
    std::string what = "the return from the callback of ";
    quote(what, msg, len);
    s.stack.push_back(Ctx{true, open, what});
    EventCallback cb = registered_callback();
    if (cb != nullptr) {
        lock.unlock();
        cb(msg, null_data ? nullptr : const_cast<char*>(data), data_len);
        lock.lock();
    }
    s.stack.pop_back();
    if (s.diverged || !open) return;
    for (;;) {  // the recorded callback returns here
        const View& next = peek();
        if (next.valid && next.kind == QVS_EVENT_CLOSE) {
            consume();
            return;
        }
        if (next.valid && (next.kind == QVS_EVENT || next.kind == QVS_EVENT_OPEN)) {
            deliver(lock);  // from another thread, while this callback ran
            if (s.diverged) return;
            continue;
        }
        diverge(describe_frame(next), what);
        return;
    }
}

Answer match_locked(std::unique_lock<std::mutex>& lock, const FnState& fn, const std::vector<Arg>& args) {
    State& s = st();
    if (!s.stack.empty() && s.stack.back().is_event && !s.stack.back().open) {
        return diverge(s.stack.back().what, describe_call(fn.name, args));
    }
    for (;;) {
        if (s.diverged) return stopped();
        const View& v = peek();
        if (v.valid && (v.kind == QVS_EVENT || v.kind == QVS_EVENT_OPEN)) {
            deliver(lock);
            continue;
        }
        if (!v.valid || (v.kind != QVS_CALL && v.kind != QVS_CALL_OPEN)) {
            return diverge(describe_frame(v), describe_call(fn.name, args));
        }
        break;
    }
    View v = peek();
    Reader r(v.body, v.end);
    Answer answer;
    if (v.kind == QVS_CALL) answer = read_answer(r);
    std::vector<RecArg> rec;
    bool ok = read_args(r, rec) && rec.size() == args.size();
    const FnState* recorded = static_cast<std::size_t>(v.fn) < s.fns.size() ? s.fns[v.fn] : nullptr;
    for (std::size_t i = 0; ok && i < args.size(); ++i) ok = same(args[i], rec[i]);
    if (recorded != &fn || !ok) return diverge(describe_frame(v), describe_call(fn.name, args));
    pace(v);
    consume();
    if (v.kind == QVS_CALL) return answer;
    std::string what = std::string("the return from ") + fn.name;
    s.stack.push_back(Ctx{false, true, what});
    for (;;) {
        if (s.diverged) break;
        const View& next = peek();
        if (next.valid && (next.kind == QVS_EVENT || next.kind == QVS_EVENT_OPEN)) {
            deliver(lock);
            continue;
        }
        if (next.valid && next.kind == QVS_CALL_CLOSE) {
            View close = next;
            consume();
            s.stack.pop_back();
            Reader cr(close.body, close.end);
            return read_answer(cr);
        }
        diverge(describe_frame(next), what);
        break;
    }
    s.stack.pop_back();
    return stopped();
}

void unmap() {
    State& s = st();
    if (s.map != nullptr) ::munmap(s.map, s.size);
    s.map = nullptr;
    s.size = 0;
    s.peeked.valid = false;
    s.stack.clear();
}

bool read_header(const char* base, std::size_t size, std::string& why) {
    State& s = st();
    Reader r(base, base + size);
    const char* magic = r.take(QVS_MAGIC_LEN);
    if (magic == nullptr || std::memcmp(magic, QVS_MAGIC, QVS_MAGIC_LEN) != 0) {
        why = "not a session file";
        return false;
    }
    std::uint16_t version = r.get<std::uint16_t>();
    if (version != QVS_VERSION) {
        why = "a session file of version " + number(version) + ", not " + number(QVS_VERSION);
        return false;
    }
    r.get<std::uint16_t>();
    std::uint32_t header = r.get<std::uint32_t>();
    r.get<std::int64_t>();
    r.get<std::int64_t>();
    r.get<std::uint32_t>();
    int count = r.get<std::uint16_t>();
    s.fns.clear();
    s.fn_names.clear();
    for (int i = 0; i < count && r.ok(); ++i) {
        std::size_t n = r.get<std::uint8_t>();
        const char* name = r.take(n);
        if (name == nullptr) break;
        s.fn_names.emplace_back(name, n);
        const FnState* found = nullptr;
        for (int k = 0; k < kFunctionCount; ++k) {
            if (s.fn_names.back() == kFunctions[k]->name) found = kFunctions[k];
        }
        s.fns.push_back(found);
    }
    if (!r.ok() || header > size) {
        why = "the header is incomplete";
        return false;
    }
    s.header_size = header;
    return true;
}

}  // namespace

int Answer::with_response(void** res_out, int* len_out) const {
    if (!diverged && has_response) {
        if (res_out != nullptr) *res_out = const_cast<char*>(res);
        if (len_out != nullptr) *len_out = res_len;
    }
    return status();
}

int Answer::with_out_text(char** out) const {
    if (!diverged && has_out_text && out != nullptr) *out = const_cast<char*>(text);
    return status();
}

Answer replay_match(const FnState& fn, std::vector<Arg>&& args) {
    std::unique_lock lock(replay_mutex());
    if (st().map == nullptr) return stopped();
    return match_locked(lock, fn, args);
}

void end_replay() {
    std::lock_guard lock(replay_mutex());
    g_replaying.store(false);
    unmap();
}

}  // namespace standin

using namespace standin;

extern "C" int standin_replay_start(const char* path, int paced) {
    std::lock_guard lock(replay_mutex());
    State& s = st();
    unmap();
    g_replaying.store(false);
    error_text().clear();
    if (path == nullptr) return STANDIN_BAD_ARGUMENT;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        error_text() = std::string("cannot open ") + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return STANDIN_BAD_ARGUMENT;
    }
    std::size_t size = static_cast<std::size_t>(info.st_size);
    void* map = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED) {
        error_text() = std::string(path) + ": not a session file (empty or unreadable)";
        return STANDIN_BAD_ARGUMENT;
    }
    std::string why;
    if (!read_header(static_cast<const char*>(map), size, why)) {
        ::munmap(map, size);
        error_text() = std::string(path) + ": " + why;
        return STANDIN_BAD_ARGUMENT;
    }
    s.map = map;
    s.size = size;
    s.cursor = s.header_size;
    s.frames = 0;
    s.torn = false;
    s.diverged = false;
    for (auto& d : s.divergence) d.clear();
    s.paced = paced != 0;
    s.first_ns = -1;
    g_replaying.store(true);
    return STANDIN_OK;
}

extern "C" int standin_replay_finish(void) {
    std::unique_lock lock(replay_mutex());
    State& s = st();
    if (s.map != nullptr && !s.diverged) {
        for (;;) {  // the events after the last call
            const View& v = peek();
            if (!v.valid || (v.kind != QVS_EVENT && v.kind != QVS_EVENT_OPEN)) break;
            deliver(lock);
            if (s.diverged) break;
        }
        if (!s.diverged && peek().valid) diverge(describe_frame(peek()), "the end of the session");
    }
    bool diverged = s.diverged;
    g_replaying.store(false);
    unmap();
    return diverged ? 1 : 0;
}

extern "C" int standin_replay_active(void) { return replaying() ? 1 : 0; }

extern "C" const char* standin_replay_divergence(int part) {
    std::lock_guard lock(replay_mutex());
    State& s = st();
    if (!s.diverged || part < 0 || part > 2) return nullptr;
    return s.divergence[part].c_str();
}

extern "C" const char* standin_replay_error(void) {
    std::lock_guard lock(replay_mutex());
    return error_text().c_str();
}

extern "C" long long standin_replay_frames(void) {
    std::lock_guard lock(replay_mutex());
    return st().frames;
}
