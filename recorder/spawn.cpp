#include "spawn.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "syscalls.hpp"

namespace qvrec {

namespace {

constexpr std::size_t kStack = 64 << 10;

struct Child {
    const char* program;
    int ring_fd, session_fd, pidfd;
    std::atomic<std::uint32_t> done{0}; // the writer has exec'd, or failed to
    int exec_errno = 0;
    pid_t writer = -1;
};

// The writer, until its exec: in our memory, on a stack of its own, with
// every signal blocked; system calls only.
int writer_main(void* arg) {
    auto* c = static_cast<Child*>(arg);
    int ring = ::fcntl(c->ring_fd, F_DUPFD, 10);
    int session = ::fcntl(c->session_fd, F_DUPFD, 10);
    int alive = c->pidfd >= 0 ? ::fcntl(c->pidfd, F_DUPFD, 10) : -1;
    int null = ::open("/dev/null", O_RDWR);
    if (ring < 0 || session < 0 || null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 ||
        ::dup2(null, 2) < 0 || ::dup2(ring, 3) < 0 || ::dup2(session, 4) < 0 ||
        ::dup2(alive >= 0 ? alive : null, 5) < 0) {
        c->exec_errno = errno;
        ::_exit(127);
    }
    char* const argv[] = {const_cast<char*>("qvrec-writer"), nullptr};
    char* const envp[] = {nullptr}; // nothing preloaded, nothing inherited
    ::execve(c->program, argv, envp);
    c->exec_errno = errno;
    ::_exit(127);
}

// The writer's parent for as long as it runs: a process that shares our
// memory (no copy of it) and never execs, so its end raises no SIGCHLD and
// no wait of the program's for any child returns it. A writer that were
// our child, or an orphan, would be one the program sees: re-parented to
// it when it is PID 1 of a PID namespace, and reaped or waited for by it.
int middle_main(void* arg) {
    auto* c = static_cast<Child*>(arg);
    void* stack =
        ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    pid_t pid = stack == MAP_FAILED ? -1
                                    : ::clone(writer_main, static_cast<char*>(stack) + kStack,
                                              CLONE_VM | CLONE_VFORK | SIGCHLD, c);
    if (pid < 0 && c->exec_errno == 0) c->exec_errno = errno;
    if (stack != MAP_FAILED) ::munmap(stack, kStack);
    bool ok = pid > 0 && c->exec_errno == 0;
    c->writer = pid;
    c->done.store(1, std::memory_order_release);
    ::syscall(SYS_futex, &c->done, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    // From here on `c` is gone: the program went on. Its descriptors are
    // not held here: a pipe on its stderr ends with it.
    ::syscall(sys::kCloseRange, 0u, ~0u, 0u);
    if (pid > 0) ::syscall(SYS_wait4, pid, nullptr, 0, nullptr);
    (void)ok;
    ::syscall(SYS_exit, 0);
    return 0;
}

// qvcore_session/qvrec-writer next to this shared object, as installed, or
// qvrec-writer beside it (the shim copied into the core's place); the
// first of them when neither is there.
bool writer_program(char* out, std::size_t room) {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&spawn_writer), &info) == 0 || info.dli_fname == nullptr)
        return false;
    const char* slash = std::strrchr(info.dli_fname, '/');
    int dir = slash != nullptr ? static_cast<int>(slash - info.dli_fname) : 1;
    const char* base = slash != nullptr ? info.dli_fname : ".";
    for (const char* place : {"/qvrec-writer", "/qvcore_session/qvrec-writer"}) {
        int n = std::snprintf(out, room, "%.*s%s", dir, base, place);
        if (n <= 0 || static_cast<std::size_t>(n) >= room) return false;
        if (::access(out, X_OK) == 0) return true;
    }
    return true;
}

// Valgrind ends a process that clones with CLONE_VM alone ("Unsupported
// clone() flags"); its preloaded libraries say it is there.
bool under_valgrind() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

pid_t g_middle = -1;
void* g_middle_stack = nullptr;

} // namespace

pid_t spawn_writer(int ring_fd, int session_fd, char* program, std::size_t room) noexcept {
    program[0] = '\0';
    if (!writer_program(program, room)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // The writer watches this process end through a pidfd of it (a kernel
    // before 5.3 has none: then it looks at /proc now and then).
    int pidfd = static_cast<int>(::syscall(sys::kPidfdOpen, ::getpid(), 0));
    // Shared, not just ours: where sharing our memory is refused (under
    // valgrind), the middle is a copy and answers through this.
    void* shared = ::mmap(nullptr, sizeof(Child), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    void* stack =
        ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED || shared == MAP_FAILED) {
        if (pidfd >= 0) ::close(pidfd);
        if (stack != MAP_FAILED) ::munmap(stack, kStack);
        if (shared != MAP_FAILED) ::munmap(shared, sizeof(Child));
        return -1;
    }
    Child& c = *new (shared) Child{program, ring_fd, session_fd, pidfd};
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old); // no handler of the program may run in the children
    // Exit signal 0: no SIGCHLD, and invisible to a wait for any child without __WCLONE.
    pid_t middle =
        ::clone(middle_main, static_cast<char*>(stack) + kStack, under_valgrind() ? 0 : CLONE_VM, &c);
    if (middle < 0 && errno == EINVAL)
        middle = ::clone(middle_main, static_cast<char*>(stack) + kStack, 0, &c);
    int err = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (middle > 0) {
        while (c.done.load(std::memory_order_acquire) == 0)
            ::syscall(SYS_futex, &c.done, FUTEX_WAIT, 0, nullptr, nullptr, 0);
    }
    if (pidfd >= 0) ::close(pidfd);
    pid_t writer = c.writer;
    int exec_errno = c.exec_errno;
    ::munmap(shared, sizeof(Child));
    if (middle < 0 || exec_errno != 0) {
        if (middle > 0) {
            ::waitpid(middle, nullptr, __WCLONE);
            err = exec_errno;
        }
        ::munmap(stack, kStack);
        errno = err;
        return -1;
    }
    g_middle = middle;
    g_middle_stack = stack;
    return writer;
}

void reap_writer(bool wait) noexcept {
    if (g_middle > 0 && ::waitpid(g_middle, nullptr, (wait ? 0 : WNOHANG) | __WCLONE) == g_middle) {
        ::munmap(g_middle_stack, kStack);
        g_middle = -1;
    }
}

} // namespace qvrec
