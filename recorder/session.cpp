// A recording's life in the recorded process: the settings are read when the
// shim is loaded; then the shared rings are mapped and the writer process
// started, before the process has threads of its own. At exit the process
// waits for the writer while it makes progress; a stalled disk never holds
// it for more than a second. A child made by fork records into a file of
// its own when the file name holds %p, and nothing otherwise.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "recorder.hpp"
#include "settings.hpp"
#include "thread_buffer.hpp"
#include "writer.hpp"

namespace qvrec {

constinit std::atomic<bool> g_on{false};
constinit std::atomic<Shared*> g_shared{nullptr};

namespace {

Settings g_settings;
pid_t g_pid = 0;         // the process the recording belongs to
int g_alive_fd = -1;     // our end of the pipe the writer watches
bool g_in_start = false; // the forks that start a writer are not a user's fork
bool g_restart = false;  // a forked child that records into its own file
pthread_mutex_t g_restart_lock = PTHREAD_MUTEX_INITIALIZER;
std::int64_t g_wall_ns = 0, g_mono_ns = 0;

std::int64_t clock_ns(clockid_t id) {
    struct timespec ts;
    ::clock_gettime(id, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

void refuse_errno(const char* what) {
    char line[256];
    std::snprintf(line, sizeof line, "%s (%s); not recording", what, std::strerror(errno));
    say(line);
}

// Maps the rings and starts the writer as a grandchild, so that it is never
// the recorded process's child to reap or to wait for.
bool start() {
    g_pid = ::getpid();
    g_wall_ns = clock_ns(CLOCK_REALTIME);
    g_mono_ns = clock_ns(CLOCK_MONOTONIC);
    std::size_t size = Shared::total_size(g_settings.threads, g_settings.ring_size);
    void* mem =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED) {
        refuse_errno("cannot map the recording buffers");
        return false;
    }
    auto* sh = new (mem) Shared{};
    sh->slot_count = g_settings.threads;
    sh->ring_size = g_settings.ring_size;
    int alive[2];
    if (::pipe2(alive, O_CLOEXEC) != 0) {
        refuse_errno("cannot start the writer");
        ::munmap(mem, size);
        return false;
    }
    WriterSetup setup{sh,
                      alive[0],
                      g_settings.path,
                      g_settings.limit,
                      g_settings.limit_text,
                      g_wall_ns,
                      g_mono_ns,
                      static_cast<std::uint32_t>(g_pid)};
    if (setup.limit_text == nullptr) setup.limit_text = "";
    g_in_start = true;
    pid_t middle = ::fork();
    if (middle == 0) {
        ::close(alive[1]);
        pid_t writer = ::fork();
        if (writer == 0) run_writer(setup);
        ::_exit(writer < 0 ? 1 : 0);
    }
    g_in_start = false;
    ::close(alive[0]);
    int status = 0;
    while (middle > 0 && ::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (middle < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        refuse_errno("cannot start the writer");
        ::close(alive[1]);
        ::munmap(mem, size);
        return false;
    }
    g_alive_fd = alive[1];
    g_shared.store(sh, std::memory_order_release);
    publish_core_path(core_path()); // known already in a forked child
    return true;
}

void at_exit() {
    Shared* sh = g_shared.load(std::memory_order_acquire);
    if (sh == nullptr || g_pid != ::getpid() || sh->parent_done.exchange(1) != 0) return;
    char wake = 1; // an idle writer may be between looks
    ssize_t ignored = ::write(g_alive_fd, &wake, 1);
    (void)ignored;
    std::uint64_t seen = sh->progress.load(std::memory_order_relaxed);
    std::int64_t since = clock_ns(CLOCK_MONOTONIC);
    while (sh->writer_done.load(std::memory_order_acquire) == 0) {
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
}

// In a child made by fork, on its only thread.
void in_child() {
    if (g_in_start) return; // on the way to becoming the writer
    forget_ring();
    if (g_alive_fd >= 0) ::close(g_alive_fd); // the parent's writer must see the parent end
    g_alive_fd = -1;
    Shared* parent = g_shared.exchange(nullptr);
    if (parent != nullptr) ::munmap(parent, Shared::total_size(parent->slot_count, parent->ring_size));
    if (!g_on.load() || std::strstr(g_settings.pattern, "%p") == nullptr) {
        g_on.store(false); // the parent owns the file
        return;
    }
    std::free(g_settings.path);
    g_settings.path = expand_path(g_settings.pattern);
    g_restart = g_settings.path != nullptr;
    if (!g_restart) g_on.store(false);
    ::pthread_mutex_init(&g_restart_lock, nullptr);
}

[[gnu::constructor]] void load() {
    if (!read_settings(g_settings)) return;
    if (!start()) return;
    ::pthread_atfork(nullptr, nullptr, in_child);
    std::atexit(at_exit);
    g_on.store(true);
}

[[gnu::destructor]] void unload() { at_exit(); }

} // namespace

bool recording_slow() noexcept {
    if (!g_restart) return false;
    // A forked child's first frame starts its own writer.
    ::pthread_mutex_lock(&g_restart_lock);
    if (g_restart && g_shared.load() == nullptr) {
        g_restart = false;
        if (!start()) g_on.store(false);
    }
    ::pthread_mutex_unlock(&g_restart_lock);
    return g_shared.load(std::memory_order_acquire) != nullptr;
}

void publish_core_path(const char* path) noexcept {
    Shared* sh = g_shared.load(std::memory_order_acquire);
    if (sh == nullptr || path == nullptr || sh->core_path_set.load()) return;
    std::snprintf(sh->core_path, sizeof sh->core_path, "%s", path);
    sh->core_path_set.store(1, std::memory_order_release);
}

} // namespace qvrec
