// The writer process's loop: take every committed record out of the rings in
// commit order, hand it to the file, give the ring space back; sleep a
// millisecond when there is nothing to take. It ends once the recorded
// process has ended (its end of the pipe closes, whether it exited, was
// killed or exec'd) and everything it committed is written.
#include "writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "frame_encoding.hpp"
#include "writer_file.hpp"

namespace qvrec {

namespace {

// The next record of one ring, if committed. Each pass reads the rings'
// heads once and takes what was committed before it, never chasing a
// thread's newest frames: those cache lines are still being written, and a
// writer reading them takes them from the thread on every call. The space
// taken is given back in steps, for the same reason.
struct Next {
    bool has = false;
    std::uint64_t seq = 0;
    const char* body = nullptr;
    std::uint32_t len = 0;
    std::uint64_t tail = 0;      // up to here taken
    std::uint64_t head = 0;      // committed, as last read
    std::uint64_t published = 0; // tail as the recording thread sees it
};

class Drain {
public:
    Drain(Shared* sh, SessionFile& file, Next* next) : sh_(sh), file_(file), next_(next) {}

    // Writes what is committed, in commit order. After the recorded process
    // is gone nothing more will be committed: a sequence number taken but
    // never committed is skipped. Returns the number of frames taken;
    // bytes_taken() is their room in the rings.
    std::uint64_t pass(bool gone) {
        std::uint64_t taken = 0;
        bytes_ = 0;
        for (std::uint32_t k = 0; k < sh_->slot_count; ++k) {
            next_[k].head = sh_->slots()[k].head.load(std::memory_order_acquire);
            peek(k);
        }
        for (;;) {
            std::uint32_t k = find(expected_);
            if (k == kNone) {
                if (!gone) break;
                k = lowest();
                if (k == kNone) break;
            }
            take(k);
            ++taken;
        }
        for (std::uint32_t k = 0; k < sh_->slot_count; ++k) publish(k);
        recycle();
        return taken;
    }

    std::uint64_t bytes_taken() const { return bytes_; }

    // What threads lost and never got to say.
    void report_lost() {
        Slot* slots = sh_->slots();
        for (std::uint32_t k = 0; k < sh_->slot_count; ++k) lost_of(slots[k]);
        std::uint64_t overflow = sh_->overflow_frames.exchange(0);
        if (overflow != 0) {
            char body[kLostBodySize];
            lost_body(body, 0, 0, 0, overflow, 0, 0);
            file_.add(body, kLostBodySize);
        }
    }

private:
    static constexpr std::uint32_t kNone = ~0u;

    void peek(std::uint32_t k) {
        Next& n = next_[k];
        n.has = false;
        for (;;) {
            if (n.tail == n.head) return;
            std::uint64_t off = n.tail % sh_->ring_size;
            const char* rec = sh_->ring(k) + off;
            std::uint32_t len;
            std::memcpy(&len, rec, 4);
            if (len == kWrap) {
                n.tail += sh_->ring_size - off;
                continue;
            }
            n.has = true;
            std::memcpy(&n.seq, rec + 8, 8);
            n.body = rec + kRecordHead;
            n.len = len;
            return;
        }
    }

    void publish(std::uint32_t k) {
        Next& n = next_[k];
        if (n.published == n.tail) return;
        sh_->slots()[k].tail.store(n.tail, std::memory_order_release);
        n.published = n.tail;
    }

    std::uint32_t find(std::uint64_t seq) {
        if (last_ < sh_->slot_count && next_[last_].has && next_[last_].seq == seq) return last_;
        for (std::uint32_t k = 0; k < sh_->slot_count; ++k)
            if (next_[k].has && next_[k].seq == seq) return k;
        return kNone;
    }

    std::uint32_t lowest() {
        std::uint32_t best = kNone;
        for (std::uint32_t k = 0; k < sh_->slot_count; ++k)
            if (next_[k].has && (best == kNone || next_[k].seq < next_[best].seq)) best = k;
        return best;
    }

    void take(std::uint32_t k) {
        Next& n = next_[k];
        file_.add(n.body, n.len); // once stopped, frames are taken and dropped
        expected_ = n.seq + 1;
        n.tail += align8(kRecordHead + n.len);
        bytes_ += align8(kRecordHead + n.len);
        if (n.tail - n.published >= sh_->ring_size / 4) publish(k);
        last_ = k;
        peek(k);
    }

    void lost_of(Slot& s) {
        std::uint64_t frames = s.lost_frames.load(std::memory_order_acquire);
        if (frames == 0) return;
        char body[kLostBodySize];
        lost_body(body, s.tid, s.lost_first_ns.load(std::memory_order_relaxed),
                  s.lost_last_ns.load(std::memory_order_relaxed), frames,
                  s.lost_bytes.load(std::memory_order_relaxed), 0);
        file_.add(body, kLostBodySize);
        s.lost_frames.store(0, std::memory_order_relaxed);
    }

    // Rings of threads that ended, once empty, are free for new threads.
    void recycle() {
        Slot* slots = sh_->slots();
        for (std::uint32_t k = 0; k < sh_->slot_count; ++k) {
            Slot& s = slots[k];
            if (s.state.load(std::memory_order_acquire) != kRetired) continue;
            next_[k].head = s.head.load(std::memory_order_acquire); // its last frames
            peek(k);
            if (next_[k].has) continue;
            lost_of(s);
            s.head.store(0, std::memory_order_relaxed);
            s.tail.store(0, std::memory_order_relaxed);
            next_[k] = Next{};
            s.state.store(kFree, std::memory_order_release);
        }
    }

    Shared* sh_;
    SessionFile& file_;
    Next* next_;
    std::uint64_t expected_ = 0;
    std::uint32_t last_ = kNone;
    std::uint64_t bytes_ = 0;
};

// A process of its own: its own session (a Ctrl-C or a hang-up of the
// recorded process's terminal must not end it before the file is whole),
// no descriptors of the recorded process but stderr and the pipe.
int detach(int alive_fd) {
    ::setsid();
    ::prctl(PR_SET_NAME, "qvrec-writer", 0, 0, 0);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGHUP, SIGPIPE, SIGQUIT, SIGTSTP}) ::sigaction(sig, &ignore, nullptr);
    struct sigaction dflt{};
    dflt.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD}) ::sigaction(sig, &dflt, nullptr);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
    }
    if (alive_fd != 3) {
        ::dup2(alive_fd, 3);
        alive_fd = 3;
    }
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 4u, ~0u, 0u) == 0) return alive_fd;
#endif
    struct rlimit lim{};
    rlim_t top = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
    for (rlim_t fd = 4; fd < top && fd < 65536; ++fd) ::close(static_cast<int>(fd));
    return alive_fd;
}

// Waits up to `ms` for the recorded process to end, or to say it is
// exiting (a byte on the pipe); true once it has ended.
bool gone_after(int alive_fd, int ms) {
    struct pollfd p{alive_fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0 || (p.revents & (POLLHUP | POLLIN | POLLERR)) == 0) return false;
    char wake[16];
    return ::read(alive_fd, wake, sizeof wake) <= 0;
}

// While frames flow the writer looks again after 1 ms, not at once: a
// writer that never stops reading the rings takes the recording threads'
// cache lines from under them on every call. A ring fills in far more than
// 1 ms at any call rate, and a pass that found an eighth of a ring's room
// used goes on at once. An idle writer backs off to 32 ms between looks;
// frames wait for it in shared memory, where they survive the recorded
// process.
int next_wait(int& idle_ms, std::uint64_t taken, std::uint64_t bytes, std::uint64_t ring_size) {
    if (taken != 0) {
        idle_ms = 0;
        return bytes >= ring_size / 8 ? 0 : 1;
    }
    idle_ms = idle_ms == 0 ? 1 : idle_ms < 32 ? idle_ms * 2 : 32;
    return idle_ms;
}

} // namespace

void run_writer(const WriterSetup& given) noexcept {
    WriterSetup setup = given;
    setup.alive_fd = detach(given.alive_fd);
    Shared* sh = setup.shared;
    std::size_t next_size = sizeof(Next) * sh->slot_count;
    void* next = ::mmap(nullptr, next_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    SessionFile file(setup);
    if (next != MAP_FAILED) {
        Drain drain(sh, file, static_cast<Next*>(next));
        bool gone = false;
        int idle_ms = 0;
        for (;;) {
            bool ending = gone || sh->parent_done.load(std::memory_order_acquire) != 0;
            std::uint64_t taken = drain.pass(gone);
            file.flush();
            if (file.stopped()) break;
            if (ending && taken == 0) {
                drain.pass(true);
                drain.report_lost();
                file.flush();
                break;
            }
            if (!gone)
                gone =
                    gone_after(setup.alive_fd, next_wait(idle_ms, taken, drain.bytes_taken(), sh->ring_size));
        }
    }
    file.close();
    sh->writer_done.store(1, std::memory_order_release);
    ::_exit(0);
}

} // namespace qvrec
