// libFuzzer harness for the stand-in's replay of session files. Each input
// is a session file. The harness replays it the way a strategy's core calls
// reach the replay (standin_replay_start, replay_match for each call, the
// recorded events handed to the registered callback, standin_replay_finish)
// and makes the calls the file records, so that inputs get past the header
// into the matching, the nesting and the divergence reports. It reads every
// byte the replay hands out (responses, texts, event data) so that the
// sanitizers see each read. Built and run by `make fuzz-replay`.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "callback.h"
#include "replay.h"
#include "session_format.h"

using namespace standin;

namespace {

// Inputs whose header flags have this bit keep their checksums as they are
// (the torn-frame paths); the others get every frame's checksum recomputed,
// since a mutated body would otherwise almost always read as a torn frame.
constexpr std::uint16_t kKeepChecksums = 0x8000;
// A recorded call whose thread id has this bit is made with its last
// argument changed: a divergence on purpose, and its report.
constexpr std::uint32_t kDiffer = 0x80000000u;
// Callbacks nested deeper than this make no calls. The replay's own limit
// (1000 open at once) bounds what a file can ask for; this harness recurses
// through several of its own frames per level, under the sanitizers.
constexpr int kHarnessNesting = 64;

std::uint32_t adler32(const char* p, std::size_t n) {
    std::uint32_t a = 1, b = 0;
    for (std::size_t i = 0; i < n; ++i) {
        a = (a + static_cast<unsigned char>(p[i])) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

template <class T>
T load(const std::string& s, std::size_t at) {
    T v;
    std::memcpy(&v, s.data() + at, sizeof v);
    return v;
}

// Recomputes the checksum of each frame from header_len on, as far as the
// frames' lengths fit in the file.
void fix_checksums(std::string& file) {
    if (file.size() < 16 || (load<std::uint16_t>(file, 10) & kKeepChecksums) != 0) return;
    std::size_t p = load<std::uint32_t>(file, 12);
    while (p <= file.size() && file.size() - p >= QVS_FRAME_PREFIX) {
        std::size_t len = load<std::uint32_t>(file, p);
        if (len > file.size() - p - QVS_FRAME_PREFIX) break;
        std::uint32_t sum = adler32(file.data() + p + QVS_FRAME_PREFIX, len);
        std::memcpy(file.data() + p + 4, &sum, sizeof sum);
        p += QVS_FRAME_PREFIX + len;
    }
}

// The input as a file the replay opens by its path, as it would a session file.
class MemFile {
public:
    MemFile() : fd_(::memfd_create("session", MFD_CLOEXEC)) {}
    ~MemFile() { ::close(fd_); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
    // Overwrites, then cuts to size: truncating to nothing first would give
    // the pages back and take them again on every input.
    bool write(const std::string& data) {
        std::size_t done = 0;
        while (fd_ >= 0 && done < data.size()) {
            ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(done));
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(data.size())) == 0;
    }

private:
    int fd_;
};

// The input's frames by index, read apart from the replay: the replay
// counts the frames it took (replay_frames()), so the frame at that index
// is the one it expects next.
struct Mirror {
    SessionFile file;
    std::vector<View> frames;

    bool load(const std::string& path) {
        std::string why;
        if (!file.open(path.c_str(), why)) return false;
        for (const View* v = &file.peek(); v->valid; v = &file.peek()) {
            frames.push_back(*v);
            file.consume();
        }
        return true;
    }
};

Mirror* g_mirror = nullptr;
int g_nesting = 0;
int g_out_parameter = 0; // where a non-null out-parameter points
volatile unsigned g_sink = 0;

void touch(const void* p, std::size_t n) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<const unsigned char*>(p)[i];
    g_sink = g_sink + sum;
}

void touch_text(const char* t) {
    if (t != nullptr) touch(t, std::strlen(t));
}

bool diverged() { return divergence(0) != nullptr; }

std::size_t cursor() { return static_cast<std::size_t>(replay_frames()); }

void on_event(const char* msg, void* data, int data_len);

// Changes an argument so that it no longer matches its record.
void differ(Arg& a) {
    switch (a.kind) {
    case Arg::Kind::Int:
    case Arg::Kind::Bool: a.num ^= 1; break;
    case Arg::Kind::Double: a.dbl = a.dbl == 0.0 ? 1.0 : 0.0; break;
    case Arg::Kind::Text:
    case Arg::Kind::Buffer: a.bytes += 'x'; break;
    case Arg::Kind::Out:
    case Arg::Kind::Fn: a.addr = a.addr == 0 ? 1 : 0; break;
    }
}

// One recorded argument as the code under test would pass it.
Arg argument(const RecArg& a) {
    switch (a.tag) {
    case QVS_ARG_INT: return Arg(static_cast<long long>(a.i));
    case QVS_ARG_DOUBLE: return Arg(a.d);
    case QVS_ARG_BOOL: return Arg(a.i != 0);
    case QVS_ARG_TEXT: return Arg(TextArg{std::string(a.bytes, static_cast<std::size_t>(a.len)).c_str()});
    case QVS_ARG_REDACTED: {
        // Compared by length only; a length too long to make diverges.
        std::string secret(std::min<std::size_t>(a.original, 1 << 16), 's');
        return Arg(TextArg{secret.c_str()});
    }
    case QVS_ARG_BUFFER: {
        // Copied: Arg reads the byte after a request, which a string has.
        std::string req = a.has_bytes ? std::string(a.bytes, static_cast<std::size_t>(a.len)) : std::string();
        return Arg(ReqArg{a.has_bytes ? req.c_str() : nullptr, static_cast<int>(a.len)});
    }
    case QVS_ARG_OUT: return Arg(OutArg{a.has_bytes ? &g_out_parameter : nullptr});
    case QVS_ARG_FN: return Arg(FnArg{a.has_bytes ? on_event : nullptr});
    default: return Arg(TextArg{nullptr});
    }
}

// Makes the call `v` records, and reads what the replay answers.
void make_call(const View& v) {
    const FnState* fn = g_mirror->file.function(v.fn);
    if (fn == nullptr)
        fn = kFunctions[static_cast<std::size_t>(v.fn) % kFunctionCount]; // one the stand-in lacks
    std::vector<Arg> args;
    if (!v.malformed) {
        Reader r = v.reader();
        if (v.kind == QVS_CALL) read_recorded(r);
        std::vector<RecArg> rec;
        read_args(r, rec);
        for (const RecArg& a : rec) args.push_back(argument(a));
        if ((v.thread & kDiffer) != 0 && !args.empty()) differ(args.back());
    }
    Answer answer = replay_match(*fn, std::move(args));
    if ((fn->caps & kResponse) != 0) {
        void* res = nullptr;
        int len = 0;
        answer.with_response(&res, &len);
        if (res != nullptr && len > 0) touch(res, static_cast<std::size_t>(len));
    }
    if ((fn->caps & kOutText) != 0) {
        char* out = nullptr;
        answer.with_out_text(&out);
        touch_text(out);
    }
    if ((fn->caps & kText) != 0) touch_text(answer.returned_text());
    g_sink = g_sink + static_cast<unsigned>(answer.status()) + (answer.real() != 0.0 ? 1u : 0u);
}

// Makes the calls recorded at the replay's cursor, one after the other,
// while it holds calls: those of a callback, inside its event.
void make_calls_at_cursor() {
    while (!diverged()) {
        std::size_t at = cursor();
        if (at >= g_mirror->frames.size()) return;
        const View& v = g_mirror->frames[at];
        if (v.kind != QVS_CALL && v.kind != QVS_CALL_OPEN) return;
        make_call(v);
        if (cursor() == at) return; // not taken: the replay has stopped
    }
}

void on_event(const char* msg, void* data, int data_len) {
    touch_text(msg);
    if (data != nullptr && data_len > 0) touch(data, static_cast<std::size_t>(data_len));
    // The event just taken: an OPEN one recorded calls inside its callback.
    std::size_t at = cursor();
    if (at == 0 || g_mirror->frames[at - 1].kind != QVS_EVENT_OPEN || g_nesting >= kHarnessNesting) return;
    ++g_nesting;
    make_calls_at_cursor();
    --g_nesting;
}

// The next call the code under test makes outside any callback: past the
// events recorded before it, and the calls inside them (their callbacks
// make those). Null at a gap, an unknown kind or the end.
const View* next_outer_call(std::size_t at) {
    int open = 0; // events, and calls inside them, not yet closed
    for (; at < g_mirror->frames.size(); ++at) {
        const View& v = g_mirror->frames[at];
        switch (v.kind) {
        case QVS_EVENT: break;
        case QVS_EVENT_OPEN: ++open; break;
        case QVS_EVENT_CLOSE:
        case QVS_CALL_CLOSE: open = std::max(open - 1, 0); break;
        case QVS_CALL:
            if (open == 0) return &v;
            break;
        case QVS_CALL_OPEN:
            if (open == 0) return &v;
            ++open;
            break;
        default: return nullptr;
        }
    }
    return nullptr;
}

void replay_input(const std::string& path) {
    Mirror mirror;
    if (!mirror.load(path)) return;
    g_mirror = &mirror;
    if (standin_replay_start(path.c_str(), 0) != STANDIN_OK) return;
    while (!diverged()) {
        std::size_t at = cursor();
        const View* v = next_outer_call(at);
        if (v == nullptr) break;
        make_call(*v);
        if (cursor() == at) break;
    }
    standin_replay_finish();
    for (int part = 0; part < 3; ++part) touch_text(standin_replay_divergence(part));
    g_mirror = nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    register_callback(on_event);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    fix_checksums(bytes);
    if (file.write(bytes)) replay_input(file.path());
    return 0;
}
