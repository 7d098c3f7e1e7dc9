#include "spawn.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace qvrec {

namespace {

struct Child {
    const char* program;
    int ring_fd, session_fd;
    int exec_errno; // set by the child when the exec failed (it shares our memory until then)
};

// Runs in the child, on its own stack, in our memory, with every signal
// blocked: system calls only.
int child_main(void* arg) {
    auto* c = static_cast<Child*>(arg);
    int ring = ::fcntl(c->ring_fd, F_DUPFD, 10);
    int session = ::fcntl(c->session_fd, F_DUPFD, 10);
    int null = ::open("/dev/null", O_RDWR);
    if (ring < 0 || session < 0 || null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0 ||
        ::dup2(ring, 3) < 0 || ::dup2(session, 4) < 0) {
        c->exec_errno = errno;
        ::_exit(127);
    }
    char* const argv[] = {const_cast<char*>("qvrec-writer"), nullptr};
    char* const envp[] = {nullptr}; // nothing preloaded, nothing inherited
    ::execve(c->program, argv, envp);
    c->exec_errno = errno;
    ::_exit(127);
}

// qvcore_session/qvrec-writer next to this shared object, as installed, or
// qvrec-writer beside it (the shim copied into the core's place); the
// first of them when neither is there.
bool writer_program(char* out, std::size_t room) {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&spawn_writer), &info) == 0 || info.dli_fname == nullptr) return false;
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

} // namespace

pid_t spawn_writer(int ring_fd, int session_fd, char* program, std::size_t room) noexcept {
    if (!writer_program(program, room)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    Child c{program, ring_fd, session_fd, 0};
    // The child's stack: not the caller's, which may be small (a thread's).
    constexpr std::size_t kStack = 64 << 10;
    void* stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return -1;
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old); // no handler of the program may run in the child
    // CLONE_VFORK: we go on once the child has exec'd or ended. Exit signal 0:
    // no SIGCHLD, and invisible to a wait for any child without __WCLONE.
    pid_t pid = ::clone(child_main, static_cast<char*>(stack) + kStack, CLONE_VM | CLONE_VFORK, &c);
    int err = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::munmap(stack, kStack);
    if (pid < 0) {
        errno = err;
        return -1;
    }
    if (c.exec_errno != 0) {
        ::waitpid(pid, nullptr, __WCLONE);
        errno = c.exec_errno;
        return -1;
    }
    return pid;
}

void reap_writer(pid_t pid) noexcept {
    if (pid > 0) ::waitpid(pid, nullptr, WNOHANG | __WCLONE);
}

} // namespace qvrec
