#include "writer_report.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "drain.hpp"
#include "ring_file.hpp"

namespace qvrec {

namespace {

constexpr int kBusy = 3; // refused for now: something still runs

void fail(const char* ring, const char* what) { std::fprintf(stderr, "qvrec-writer: %s: %s\n", ring, what); }

void json_text(const char* s) {
    std::fputc('"', stdout);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (*p == '"' || *p == '\\') std::printf("\\%c", *p);
        else if (*p < 0x20) std::printf("\\u%04x", *p);
        else std::fputc(*p, stdout);
    }
    std::fputc('"', stdout);
}

bool process_runs(const Shared* sh) {
    return sh->pid_start != 0 && process_start_time(static_cast<int>(sh->pid)) == sh->pid_start;
}

// Whether the lock the writer holds on its rings is free.
bool writer_gone(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return false;
    ::flock(fd, LOCK_UN);
    return true;
}

void print_status(const Shared* sh, bool writer_runs) {
    const Progress& p = sh->current();
    const char* states[] = {"writing", "complete", "stopped"};
    std::uint32_t state = sh->state.load(std::memory_order_acquire);
    std::printf("{\"ring\": ");
    json_text(sh->ring_path);
    std::printf(", \"session\": ");
    json_text(sh->path);
    std::printf(", \"pid\": %u, \"state\": \"%s\", \"writer_running\": %s, \"process_running\": %s", sh->pid,
                state < 3 ? states[state] : "writing", writer_runs ? "true" : "false",
                process_runs(sh) ? "true" : "false");
    std::printf(
        ", \"file_bytes\": %" PRIu64 ", \"frames\": %" PRIu64 ", \"calls\": %" PRIu64 ", \"events\": %" PRIu64
        ", \"failures\": %" PRIu64 ", \"lost_frames\": %" PRIu64 ", \"lost_bytes\": %" PRIu64
        ", \"first_ns\": %" PRId64 ", \"last_ns\": %" PRId64 ", \"wall_ns\": %" PRId64
        ", \"mono_ns\": %" PRId64 ", \"salvaged\": %" PRIu64 ", \"damaged\": %s",
        p.file_bytes, p.frames, p.calls, p.events, p.failures, p.lost_frames, p.lost_bytes, p.first_ns,
        p.last_ns, sh->wall_ns, sh->mono_ns, sh->salvaged, sh->damaged ? "true" : "false");
    std::printf(", \"stop\": ");
    if (state == kStopped) json_text(sh->stop_line);
    else std::printf("null");
    std::printf("}\n");
}

struct Mapped {
    int fd = -1;
    Shared* sh = nullptr;
    ~Mapped() {
        if (sh != nullptr) ::munmap(sh, sh->file_size);
        if (fd >= 0) ::close(fd);
    }
};

bool open_ring(const char* ring, Mapped& m) {
    m.fd = ::open(ring, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    char problem[200];
    if (m.fd < 0) {
        fail(ring, std::strerror(errno));
        return false;
    }
    m.sh = map_ring_file(m.fd, problem, sizeof problem);
    if (m.sh == nullptr) fail(ring, problem);
    return m.sh != nullptr;
}

// The session file the writer was handed, and no other: opened without
// following a link, and the same file as the one created.
int open_session(const char* ring, const Shared* sh) {
    int fd = ::open(sh->path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    char line[4300];
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_dev != sh->session_dev || st.st_ino != sh->session_ino) {
        std::snprintf(line, sizeof line, "%s is gone or is not the file recorded into", sh->path);
        fail(ring, line);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

void finish(Shared* sh, int ring_fd) noexcept {
    std::uint32_t writing = kWriting;
    sh->state.compare_exchange_strong(writing, kComplete, std::memory_order_acq_rel);
    struct stat mine, named;
    if (sh->keep == 0 && ::fstat(ring_fd, &mine) == 0 && ::lstat(sh->ring_path, &named) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
        ::unlink(sh->ring_path);
}

int report_status(const char* ring) noexcept {
    Mapped m;
    if (!open_ring(ring, m)) return 1;
    print_status(m.sh, !writer_gone(m.fd));
    return 0;
}

int recover(const char* ring) noexcept {
    Mapped m;
    if (!open_ring(ring, m)) return 1;
    Shared* sh = m.sh;
    if (::flock(m.fd, LOCK_EX | LOCK_NB) != 0) {
        fail(ring, "its writer is still running");
        return kBusy;
    }
    if (sh->state.load(std::memory_order_acquire) != kWriting) { // nothing was left behind
        finish(sh, m.fd);
        print_status(sh, false);
        return 0;
    }
    if (process_runs(sh)) {
        fail(ring, "the recorded process is still running: recover once it has ended");
        return kBusy;
    }
    int fd = open_session(ring, sh);
    if (fd < 0) return 1;
    const Progress from = sh->current();
    // Past the last completed write there may be part of one: ours, and cut.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, static_cast<off_t>(from.file_bytes)) != 0 ||
        ::lseek(fd, 0, SEEK_END) < 0) {
        fail(ring, "cannot take over the session file");
        ::close(fd);
        return 1;
    }
    Next* next = static_cast<Next*>(::mmap(nullptr, sizeof(Next) * sh->slot_count, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (next == MAP_FAILED) {
        fail(ring, "out of memory");
        ::close(fd);
        return 1;
    }
    SessionFile file(sh, fd, from.file_bytes);
    Drain drain(sh, file, next, from);
    drain.pass(true);
    drain.report_lost();
    drain.flush();
    file.close();
    sh->salvaged = sh->current().frames - from.frames;
    sh->damaged = drain.damaged() ? 1 : 0;
    ::munmap(next, sizeof(Next) * sh->slot_count);
    finish(sh, m.fd);
    print_status(sh, false);
    return 0;
}

} // namespace qvrec
