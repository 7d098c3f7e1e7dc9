// A recording's life in the recorded process. The settings are read when
// the shim is loaded; nothing else happens until the first recorded frame:
// a process that never calls the core costs nothing and starts no writer.
// That frame creates the session file and the shared rings and starts the
// writer, on the calling thread. The process keeps no descriptor of the
// recorder's: the writer watches it as its parent, and is woken through the
// shared memory. At exit the process wakes the writer and waits for it
// while it makes progress; a stalled disk never holds it for more than a
// second. A child made by fork records into a file of its own when the file
// name holds %p, and nothing otherwise.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "recorder.hpp"
#include "ring_file.hpp"
#include "session_header.hpp"
#include "session_name.hpp"
#include "settings.hpp"
#include "spawn.hpp"
#include "thread_buffer.hpp"

namespace qvrec {

constinit std::atomic<bool> g_on{false};
constinit std::atomic<Shared*> g_shared{nullptr};

namespace {

Settings g_settings;
pid_t g_pid = 0;        // the process the recording belongs to
pid_t g_writer = -1;    // its writer
bool g_pending = false; // on, and not started yet: the first frame starts it
pthread_mutex_t g_start_lock = PTHREAD_MUTEX_INITIALIZER;

std::int64_t clock_ns(clockid_t id) {
    struct timespec ts;
    ::clock_gettime(id, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// The line goes on stderr, and into a note beside the rings when whoever
// gave their folder (record) collects them: it reports why, not "no call".
void tell(const char* line) {
    say(line);
    if (!g_settings.keep_rings) return;
    char note[4200];
    std::snprintf(note, sizeof note, "%s/qvrec-%d-%lld.failed", g_settings.ring_dir, static_cast<int>(g_pid),
                  static_cast<long long>(clock_ns(CLOCK_MONOTONIC)));
    int fd = ::open(note, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, line, std::strlen(line));
    (void)ignored;
    ::close(fd);
}

void refuse(const char* what) {
    char line[1300];
    std::snprintf(line, sizeof line, "%s; not recording", what);
    tell(line);
}

void fill(Shared* sh, const CreatedFile& file, std::size_t header_len) {
    sh->limit = g_settings.limit;
    std::snprintf(sh->limit_text, sizeof sh->limit_text, "%s",
                  g_settings.limit_text != nullptr ? g_settings.limit_text : "");
    sh->pid = static_cast<std::uint32_t>(g_pid);
    sh->pid_start = process_start_time(g_pid);
    sh->keep = g_settings.keep_rings ? 1 : 0;
    std::snprintf(sh->path, sizeof sh->path, "%s", file.path);
    struct stat st;
    if (::fstat(file.fd, &st) == 0) {
        sh->session_dev = st.st_dev;
        sh->session_ino = st.st_ino;
    }
    sh->header_len = static_cast<std::uint32_t>(header_len);
    for (int i = 0; i < kFunctionCount && i < static_cast<int>(sizeof sh->returns_status); ++i)
        sh->returns_status[i] = kFunctionReturnsStatus[i] ? 1 : 0;
}

// Creates the session file and the rings and starts the writer. Every
// failure is one line naming its cause, and nothing is recorded.
bool start() {
    g_pid = ::getpid();
    std::int64_t wall = clock_ns(CLOCK_REALTIME), mono = clock_ns(CLOCK_MONOTONIC);
    CreatedFile file;
    if (!create_session_file(g_settings.path, file)) {
        refuse(file.problem);
        return false;
    }
    char line[9000];
    if (std::strcmp(file.path, g_settings.path) != 0) {
        std::snprintf(line, sizeof line, "%s exists: recording into %s", g_settings.path, file.path);
        say(line);
    }
    std::size_t header_len =
        compose_header(nullptr, 0, wall, mono, static_cast<std::uint32_t>(g_pid), core_path());
    if (g_settings.limit != 0 && header_len > g_settings.limit) {
        std::snprintf(
            line, sizeof line,
            "%s: the size limit of %llu bytes is reached (C_SDK_RECORD_MAX_BYTES=%.40s); recording stopped",
            file.path, static_cast<unsigned long long>(g_settings.limit), g_settings.limit_text);
        tell(line);
        ::close(file.fd);
        return false;
    }
    RingFile rings;
    char problem[1200];
    bool made =
        header_len <= kHeaderRoom && create_ring_file(g_settings.ring_dir, g_settings.threads,
                                                      g_settings.ring_size, rings, problem, sizeof problem);
    if (!made && header_len <= kHeaderRoom && g_settings.keep_rings &&
        ::access(g_settings.ring_dir, F_OK) != 0) {
        // The folder record gave is gone: it has ended, and this process
        // outlived it. Recorded all the same, the rings where nobody collects them.
        g_settings.keep_rings = false;
        g_settings.ring_dir = "/dev/shm";
        made = create_ring_file(g_settings.ring_dir, g_settings.threads, g_settings.ring_size, rings, problem,
                                sizeof problem);
    }
    if (!made) {
        if (header_len > kHeaderRoom)
            std::snprintf(problem, sizeof problem, "the core library's path is too long");
        refuse(problem);
        ::unlink(file.path); // empty, and ours
        ::close(file.fd);
        return false;
    }
    Shared* sh = rings.shared;
    sh->wall_ns = wall;
    sh->mono_ns = mono;
    compose_header(sh->header, sizeof sh->header, wall, mono, static_cast<std::uint32_t>(g_pid), core_path());
    fill(sh, file, header_len);
    char program[4096];
    g_writer = spawn_writer(rings.fd, file.fd, program, sizeof program);
    int err = errno;
    ::close(rings.fd);
    ::close(file.fd);
    if (g_writer < 0) {
        std::snprintf(line, sizeof line, "cannot start the writer %.4000s (%s)", program, std::strerror(err));
        refuse(line);
        ::unlink(rings.path);
        ::unlink(file.path);
        ::munmap(sh, sh->file_size);
        return false;
    }
    sh->writer_pid = g_writer;
    g_shared.store(sh, std::memory_order_release);
    return true;
}

void wake_writer(Shared* sh) {
    sh->wake.fetch_add(1, std::memory_order_release);
    ::syscall(SYS_futex, &sh->wake, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

void say_stopped(Shared* sh) {
    if (sh->state.load(std::memory_order_acquire) == kStopped && sh->said.exchange(1) == 0)
        say(sh->stop_line);
}

// Tells the writer the recording ends and waits for it while it makes
// progress; true when every frame is in the file.
bool finish_recording(Shared* sh) {
    if (sh->parent_done.exchange(1) != 0) return false;
    wake_writer(sh);
    std::uint64_t seen = sh->progress.load(std::memory_order_relaxed);
    std::int64_t since = clock_ns(CLOCK_MONOTONIC);
    while (sh->state.load(std::memory_order_acquire) == kWriting) {
        struct timespec ms{0, 1'000'000};
        ::nanosleep(&ms, nullptr);
        std::uint64_t now_seen = sh->progress.load(std::memory_order_relaxed);
        std::int64_t now = clock_ns(CLOCK_MONOTONIC);
        if (now_seen != seen) {
            seen = now_seen;
            since = now;
        } else if (now - since > 1'000'000'000) {
            break; // the disk stalls: the writer finishes on its own
        }
    }
    say_stopped(sh);
    reap_writer(false);
    return sh->state.load(std::memory_order_acquire) == kComplete;
}

void at_exit() {
    Shared* sh = g_shared.load(std::memory_order_acquire);
    if (sh != nullptr && g_pid == ::getpid()) finish_recording(sh);
}

// In a child made by fork, on its only thread.
void in_child() {
    forget_ring();
    Shared* parent = g_shared.exchange(nullptr);
    if (parent != nullptr) ::munmap(parent, parent->file_size);
    g_writer = -1;
    ::pthread_mutex_init(&g_start_lock, nullptr);
    if (!g_on.load() || std::strstr(g_settings.pattern, "%p") == nullptr) {
        g_on.store(false); // the parent owns the file
        g_pending = false;
        return;
    }
    std::free(g_settings.path);
    g_settings.path = expand_path(g_settings.pattern);
    g_pending = g_settings.path != nullptr;
    if (!g_pending) g_on.store(false);
}

bool g_control = false; // recordings are started and stopped by qvrec_control_*

[[gnu::constructor]] void load() {
    if (!read_settings(g_settings)) return;
    ::pthread_atfork(nullptr, nullptr, in_child);
    std::atexit(at_exit);
    const char* control = std::getenv("C_SDK_RECORD_CONTROL");
    g_control = control != nullptr && std::strcmp(control, "1") == 0;
    if (g_control) return; // nothing until asked
    g_pending = true;
    g_on.store(true);
}

[[gnu::destructor]] void unload() { at_exit(); }

} // namespace

// Recording on demand, for a test runner that records one session per test
// (qvcore_standin's pytest plugin): with C_SDK_RECORD_CONTROL=1 nothing is
// recorded until started, into `path` (created as always: an existing file
// is kept and the next free name taken). Stop when no core call is in
// flight: it waits for the writer and lets the rings go. 0: started or
// complete; 1: stopped early (said on stderr) or none running; -1: refused.
extern "C" [[gnu::visibility("default")]] int qvrec_control_start(const char* path) noexcept {
    if (!g_control || path == nullptr) return -1;
    ::pthread_mutex_lock(&g_start_lock);
    int rc = -1;
    if (g_shared.load() == nullptr && !g_pending) {
        char* expanded = expand_path(path);
        if (expanded != nullptr) {
            std::free(g_settings.path);
            g_settings.path = expanded;
            g_pending = true;
            g_on.store(true);
            rc = 0;
        }
    }
    ::pthread_mutex_unlock(&g_start_lock);
    return rc;
}

extern "C" [[gnu::visibility("default")]] int qvrec_control_stop() noexcept {
    if (!g_control) return -1;
    ::pthread_mutex_lock(&g_start_lock);
    g_on.store(false);
    g_pending = false;
    Shared* sh = g_shared.exchange(nullptr);
    int rc = 1;
    if (sh != nullptr) {
        rc = finish_recording(sh) ? 0 : 1;
        if (rc == 0) reap_writer(true); // it has ended, or is about to
        // The rings' pages go; their addresses stay reserved, so that a
        // thread's ring of this recording is never taken for one of the next.
        std::size_t size = sh->file_size;
        ::mmap(sh, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
        forget_ring();
    }
    ::pthread_mutex_unlock(&g_start_lock);
    return rc;
}

bool recording_slow() noexcept {
    Shared* sh = g_shared.load(std::memory_order_acquire);
    if (sh != nullptr) { // stopped by the writer: said once, by this process, on its own stderr
        say_stopped(sh);
        return false;
    }
    if (!g_pending) return false;
    ::pthread_mutex_lock(&g_start_lock);
    if (g_pending && g_shared.load() == nullptr) {
        g_pending = false;
        if (!start()) g_on.store(false);
    }
    ::pthread_mutex_unlock(&g_start_lock);
    return g_shared.load(std::memory_order_acquire) != nullptr;
}

} // namespace qvrec
