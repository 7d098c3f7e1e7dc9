// The session file: read the settings once at load, open the file on the
// first frame, append frames to a buffer, write the buffer out when it is
// full, on qvi_stop, once a second while frames come, and at exit. Any
// failure stops the recording with one line on stderr; the session goes on.
#include "session_file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <emmintrin.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "recorder.hpp"

namespace qvrec {

constinit std::atomic<bool> g_on{false};

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr long long kFlushEveryNs = 1'000'000'000;

struct Settings {
    char* path = nullptr;         // with %p replaced by the pid
    unsigned long long limit = 0; // 0: no limit
};

struct State {
    Settings settings;
    int fd = -1;
    bool opened = false; // tried to open: never twice
    char* buf = nullptr;
    std::size_t used = 0;
    unsigned long long written = 0; // bytes in the file
    long long last_flush_ns = 0;
    pid_t pid = 0;
};

State g_state;
// Never destroyed: calls made while the process exits stay safe.
std::mutex& file_mutex() {
    static auto* m = new std::mutex;
    return *m;
}

void say(const char* fmt, const char* a, const char* b) {
    char line[1024];
    int n = std::snprintf(line, sizeof line, fmt, a, b);
    if (n < 0) return;
    std::size_t len =
        static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    ssize_t ignored = ::write(2, line, len);
    (void)ignored;
}

// Caller holds file_mutex(). One line on stderr, then nothing more is recorded.
void stop(const char* why) {
    if (!g_on.exchange(false)) return;
    say("c_sdk recorder: %s: %s; recording stopped\n", g_state.settings.path ? g_state.settings.path : "?",
        why);
    if (g_state.fd >= 0) ::close(g_state.fd);
    g_state.fd = -1;
    std::free(g_state.buf);
    g_state.buf = nullptr;
    g_state.used = 0;
}

bool write_all(const char* p, std::size_t len) {
    while (len > 0) {
        ssize_t n = ::write(g_state.fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            char why[256];
            std::snprintf(why, sizeof why, "writing failed (%s)",
                          n < 0 ? std::strerror(errno) : "no progress");
            stop(why);
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
        g_state.written += static_cast<unsigned long long>(n);
    }
    return true;
}

// Caller holds file_mutex().
bool flush_locked(long long now) {
    g_state.last_flush_ns = now;
    if (g_state.fd < 0) return false;
    // A removed file is written to no one: the recording would be lost.
    struct stat st;
    if (::fstat(g_state.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0) {
        stop("the file was removed");
        return false;
    }
    bool ok = write_all(g_state.buf, g_state.used);
    g_state.used = 0;
    return ok;
}

template <class T>
void put(char*& p, T v) {
    std::memcpy(p, &v, sizeof v);
    p += sizeof v;
}

std::size_t header(char* out, long long mono) {
    std::size_t size = QVS_MAGIC_LEN + 2 + 2 + 4 + 8 + 8 + 4 + 2;
    for (int i = 0; i < kFunctionCount; ++i) size += 1 + std::strlen(kFunctionNames[i]);
    const char* core = core_path(); // informative only
    std::size_t core_len = core != nullptr ? std::strlen(core) : 0;
    if (core_len > 1024) core_len = 1024;
    size += 2 + core_len;
    if (out == nullptr) return size;
    char* p = out;
    std::memcpy(p, QVS_MAGIC, QVS_MAGIC_LEN);
    p += QVS_MAGIC_LEN;
    put<std::uint16_t>(p, QVS_VERSION);
    put<std::uint16_t>(p, 0);
    put<std::uint32_t>(p, static_cast<std::uint32_t>(size));
    struct timespec wall;
    ::clock_gettime(CLOCK_REALTIME, &wall);
    put<std::int64_t>(p, wall.tv_sec * 1'000'000'000LL + wall.tv_nsec);
    put<std::int64_t>(p, mono);
    put<std::uint32_t>(p, static_cast<std::uint32_t>(::getpid()));
    put<std::uint16_t>(p, static_cast<std::uint16_t>(kFunctionCount));
    for (int i = 0; i < kFunctionCount; ++i) {
        std::size_t n = std::strlen(kFunctionNames[i]);
        put<std::uint8_t>(p, static_cast<std::uint8_t>(n));
        std::memcpy(p, kFunctionNames[i], n);
        p += n;
    }
    put<std::uint16_t>(p, static_cast<std::uint16_t>(core_len));
    if (core_len > 0) std::memcpy(p, core, core_len);
    return size;
}

// Caller holds file_mutex(). Created 0600; an existing file is made 0600
// before anything is written to it. A file another live process records
// into is left alone.
bool open_locked(long long now) {
    if (g_state.opened) return g_state.fd >= 0;
    g_state.opened = true;
    int fd = ::open(g_state.settings.path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        char why[256];
        std::snprintf(why, sizeof why, "cannot open the file (%s)", std::strerror(errno));
        stop(why);
        return false;
    }
    g_state.fd = fd;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            stop("another process is recording into this file");
            return false;
        }
        if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, 0) != 0) {
            char why[256];
            std::snprintf(why, sizeof why, "cannot prepare the file (%s)", std::strerror(errno));
            stop(why);
            return false;
        }
    }
    g_state.buf = static_cast<char*>(std::malloc(kBufferSize));
    if (g_state.buf == nullptr) {
        stop("out of memory");
        return false;
    }
    g_state.used = header(g_state.buf, now);
    g_state.last_flush_ns = now;
    return true;
}

void at_exit() {
    if (g_state.pid != ::getpid()) return; // a forked child: the mutex may be held for ever
    std::lock_guard lock(file_mutex());
    if (!g_on.load()) return;
    if (g_state.fd >= 0) flush_locked(now_ns());
    g_on.store(false);
    if (g_state.fd >= 0) ::close(g_state.fd);
    g_state.fd = -1;
}

// A forked child shares the parent's file: only the parent writes it.
void in_child() { g_on.store(false); }

unsigned long long parse_size(const char* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text) return 0;
    switch (*end) {
    case 'k':
    case 'K': v <<= 10; break;
    case 'm':
    case 'M': v <<= 20; break;
    case 'g':
    case 'G': v <<= 30; break;
    default: break;
    }
    return v;
}

char* expand_path(const char* pattern) {
    char pid[24];
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(::getpid()));
    std::size_t len = 0;
    for (const char* p = pattern; *p; ++p) len += (p[0] == '%' && p[1] == 'p') ? std::strlen(pid) : 1;
    char* out = static_cast<char*>(std::malloc(len + 1));
    if (out == nullptr) return nullptr;
    char* o = out;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 'p') {
            std::memcpy(o, pid, std::strlen(pid));
            o += std::strlen(pid);
            ++p;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

bool switched_on(const char* v) {
    return v != nullptr && (std::strcmp(v, "1") == 0 || std::strcmp(v, "on") == 0 ||
                            std::strcmp(v, "yes") == 0 || std::strcmp(v, "true") == 0);
}

[[gnu::constructor]] void load_settings() {
    if (!switched_on(std::getenv("C_SDK_RECORD"))) return;
    const char* file = std::getenv("C_SDK_RECORD_FILE");
    if (file == nullptr || *file == '\0') {
        say("c_sdk recorder: %s%s; not recording\n", "C_SDK_RECORD is on but C_SDK_RECORD_FILE is not set",
            "");
        return;
    }
    g_state.settings.path = expand_path(file);
    if (g_state.settings.path == nullptr) return;
    if (const char* limit = std::getenv("C_SDK_RECORD_MAX_BYTES")) g_state.settings.limit = parse_size(limit);
    g_state.pid = ::getpid();
    ::pthread_atfork(nullptr, nullptr, in_child);
    std::atexit(at_exit);
    g_on.store(true);
}

[[gnu::destructor]] void unload() { at_exit(); }

} // namespace

long long now_ns() noexcept {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

std::uint32_t thread_id() noexcept {
    static thread_local std::uint32_t tid [[gnu::tls_model("initial-exec")]] = 0;
    if (tid == 0) tid = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return tid;
}

void append_frames(const PendingBody* bodies, int count, long long now) noexcept {
    std::lock_guard lock(file_mutex());
    if (!g_on.load(std::memory_order_relaxed) || !open_locked(now)) return;
    for (int k = 0; k < count; ++k) {
        std::size_t body = bodies[k].write(nullptr, bodies[k].ctx);
        std::size_t total = QVS_FRAME_PREFIX + body;
        unsigned long long limit = g_state.settings.limit;
        if (limit != 0 && g_state.written + g_state.used + total > limit) {
            if (flush_locked(now)) {
                char why[96];
                std::snprintf(why, sizeof why, "the size limit of %llu bytes is reached", limit);
                stop(why);
            }
            return;
        }
        if (g_state.used + total > kBufferSize && !flush_locked(now)) return;
        char* frame =
            total <= kBufferSize ? g_state.buf + g_state.used : static_cast<char*>(std::malloc(total));
        if (frame == nullptr) {
            stop("out of memory");
            return;
        }
        bodies[k].write(frame + QVS_FRAME_PREFIX, bodies[k].ctx);
        std::uint32_t len = static_cast<std::uint32_t>(body);
        std::uint32_t sum = checksum(frame + QVS_FRAME_PREFIX, body);
        std::memcpy(frame, &len, 4);
        std::memcpy(frame + 4, &sum, 4);
        if (frame == g_state.buf + g_state.used) {
            g_state.used += total;
        } else {
            bool ok = write_all(frame, total);
            std::free(frame);
            if (!ok) return;
        }
    }
    if (now - g_state.last_flush_ns >= kFlushEveryNs) flush_locked(now);
}

void flush() noexcept {
    std::lock_guard lock(file_mutex());
    if (g_on.load(std::memory_order_relaxed) && g_state.fd >= 0) flush_locked(now_ns());
}

// Adler-32 as zlib computes it (the reader checks frames with zlib.adler32),
// sixteen bytes a step with SSE2: for a block d0..d15 entered with sum a,
// a grows by the bytes' sum and b by 16a + 16*d0 + 15*d1 + ... + 1*d15.
std::uint32_t checksum(const void* data, std::size_t len) noexcept {
    constexpr std::uint64_t kBase = 65521;
    constexpr std::size_t kChunk = 5536; // whole blocks whose lane sums stay within 32 bits
    const auto* p = static_cast<const unsigned char*>(data);
    const __m128i zero = _mm_setzero_si128();
    const __m128i w_lo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i w_hi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    std::uint64_t a = 1, b = 0;
    while (len > 0) {
        std::size_t n = len < kChunk ? len : kChunk;
        len -= n;
        std::size_t blocks = n / 16;
        __m128i sums = zero, before = zero, weighted = zero;
        for (std::size_t k = 0; k < blocks; ++k, p += 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            before = _mm_add_epi32(before, sums);
            sums = _mm_add_epi32(sums, _mm_sad_epu8(x, zero));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), w_lo));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), w_hi));
        }
        alignas(16) std::uint32_t lanes[3][4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[0]), sums);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[1]), before);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[2]), weighted);
        std::uint64_t total[3];
        for (int v = 0; v < 3; ++v)
            total[v] = std::uint64_t{lanes[v][0]} + lanes[v][1] + lanes[v][2] + lanes[v][3];
        b += 16 * (blocks * a + total[1]) + total[2];
        a += total[0];
        for (std::size_t k = blocks * 16; k < n; ++k) {
            a += *p++;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return static_cast<std::uint32_t>(b << 16 | a);
}

} // namespace qvrec
