// qvrec-writer: the writer process, and the salvage of what a dead one left.
//
//   qvrec-writer                  started by the recorded process (spawn.cpp),
//                                 ring file on descriptor 3, session file on 4,
//                                 a pidfd of the process on 5 (or /dev/null)
//   qvrec-writer --status RING    one JSON line: what the session holds
//   qvrec-writer --recover RING   writes what a dead writer left, then --status
//
// The writer takes every committed record out of the rings in commit order
// and hands it to the session file; it sleeps on a futex in the shared
// memory between passes. It ends once the recorded process has ended (its
// pidfd says so: the process holds nothing of the writer's open to tell)
// and everything it committed is written.
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "drain.hpp"
#include "ring_file.hpp"
#include "syscalls.hpp"
#include "writer_report.hpp"

namespace qvrec {

namespace {

constexpr int kRingFd = 3, kSessionFd = 4, kAliveFd = 5;

// A process of its own session (a Ctrl-C or a hang-up of the recorded
// process's terminal must not end it before the file is whole), with no
// descriptor but its two files.
void detach() {
    ::setsid();
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGHUP, SIGPIPE, SIGQUIT, SIGTSTP, SIGTTOU, SIGTTIN, SIGXFSZ})
        ::sigaction(sig, &ignore, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr); // spawned with every signal blocked
    ::syscall(sys::kCloseRange, 6u, ~0u, 0u);
}

// Sleeps until woken through the shared memory or `ms` have passed.
void sleep_on(Shared* sh, std::uint32_t seen, int ms) {
    struct timespec ts{ms / 1000, (ms % 1000) * 1'000'000L};
    ::syscall(SYS_futex, &sh->wake, FUTEX_WAIT, seen, &ts, nullptr, 0);
}

// While frames flow the writer looks again after 1 ms, not at once: a
// writer that never stops reading the rings takes the recording threads'
// cache lines from under them on every call. A ring fills in far more than
// 1 ms at any call rate, and a pass that found an eighth of a ring's room
// used goes on at once. An idle writer backs off to 32 ms between looks;
// frames wait for it in shared memory, where they survive both processes.
int next_wait(int& idle_ms, std::uint64_t taken, std::uint64_t bytes, std::uint64_t ring_size) {
    if (taken != 0) {
        idle_ms = 0;
        return bytes >= ring_size / 8 ? 0 : 1;
    }
    idle_ms = idle_ms == 0 ? 1 : idle_ms < 32 ? idle_ms * 2 : 32;
    return idle_ms;
}

// Whether the recorded process has ended: its pidfd turns readable. Without
// one (a kernel before 5.3), a process of its pid that started at another
// time is another process.
bool process_gone(const Shared* sh) {
    static const bool pidfd = [] {
        struct stat st;
        return ::fstat(kAliveFd, &st) == 0 && !S_ISCHR(st.st_mode);
    }();
    if (pidfd) {
        struct pollfd p{kAliveFd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    return process_start_time(static_cast<int>(sh->pid)) != sh->pid_start;
}

Next* next_array(std::uint32_t slots) {
    void* p =
        ::mmap(nullptr, sizeof(Next) * slots, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<Next*>(p);
}

int run() {
    detach();
    char problem[200];
    Shared* sh = map_ring_file(kRingFd, problem, sizeof problem);
    if (sh == nullptr) return 1;
    Next* next = next_array(sh->slot_count);
    SessionFile file(sh, kSessionFd, 0);
    if (next == nullptr) file.stop("out of memory", 0);
    if (!file.stopped()) {
        Drain drain(sh, file, next, sh->current());
        bool gone = process_gone(sh);
        int idle_ms = 0;
        for (;;) {
            std::uint32_t seen = sh->wake.load(std::memory_order_acquire);
            bool ending = gone || sh->parent_done.load(std::memory_order_acquire) != 0;
            std::uint64_t taken = drain.pass(gone);
            if (!drain.flush()) break;
            if (ending && taken == 0) {
                drain.pass(true);
                drain.report_lost();
                drain.flush();
                break;
            }
            if (!gone) sleep_on(sh, seen, next_wait(idle_ms, taken, drain.bytes_taken(), sh->ring_size));
            gone = process_gone(sh);
        }
    }
    file.close();
    finish(sh, kRingFd);
    return 0;
}

int usage() {
    std::fputs("usage: qvrec-writer [--status RING | --recover RING]\n", stderr);
    return 2;
}

} // namespace

} // namespace qvrec

int main(int argc, char** argv) {
    using namespace qvrec;
    if (argc == 1) return run();
    if (argc != 3) return usage();
    if (std::strcmp(argv[1], "--status") == 0) return report_status(argv[2]);
    if (std::strcmp(argv[1], "--recover") == 0) return recover(argv[2]);
    return usage();
}
