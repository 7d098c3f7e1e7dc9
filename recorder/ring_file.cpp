#include "ring_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "syscalls.hpp"

namespace qvrec {

namespace {

char g_path[4096]; // of this process's ring file, for back_ring

// Room for [off, off + len) in the file; file systems without fallocate
// (none that /dev/shm or /tmp are) are taken at their word.
bool allocate(int fd, std::size_t off, std::size_t len) {
    int err = ::posix_fallocate(fd, static_cast<off_t>(off), static_cast<off_t>(len));
    return err == 0 || err == EOPNOTSUPP || err == EINVAL;
}

} // namespace

bool create_ring_file(const char* dir, std::uint32_t slots, std::uint64_t ring_size, RingFile& out,
                      char* problem, std::size_t room) noexcept {
    std::uint64_t random = 0;
    if (::syscall(sys::kGetrandom, &random, sizeof random, 1 /* GRND_NONBLOCK */) != sizeof random) {
        struct timespec ts;
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        random = static_cast<std::uint64_t>(ts.tv_nsec) * 0x9e3779b97f4a7c15ull ^
                 static_cast<std::uint64_t>(ts.tv_sec);
    }
    std::snprintf(out.path, sizeof out.path, "%s/qvrec-%d-%016llx.ring", dir, static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(random));
    int fd = ::open(out.path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::snprintf(problem, room, "cannot create the recording buffers in %.900s (%s)", dir,
                      std::strerror(errno));
        return false;
    }
    std::size_t size = Shared::total_size(slots, ring_size);
    // Growing a file past the size limit raises SIGXFSZ, which ends a
    // process that has not ignored it: asked first.
    struct rlimit fsize{};
    if (::getrlimit(RLIMIT_FSIZE, &fsize) == 0 && fsize.rlim_cur != RLIM_INFINITY && fsize.rlim_cur < size) {
        std::snprintf(
            problem, room,
            "the recording buffers (%zu bytes) exceed the file size limit of %llu bytes (ulimit -f); "
            "C_SDK_RECORD_BUFFER and C_SDK_RECORD_THREADS make them smaller",
            size, static_cast<unsigned long long>(fsize.rlim_cur));
        ::unlink(out.path);
        ::close(fd);
        return false;
    }
    void* mem = MAP_FAILED;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0 || !allocate(fd, 0, Shared::fixed_size(slots)) ||
        (mem = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) == MAP_FAILED) {
        std::snprintf(problem, room, "cannot make the recording buffers in %.900s (%s)", dir,
                      std::strerror(errno));
        ::unlink(out.path);
        ::close(fd);
        return false;
    }
    ::flock(fd, LOCK_EX | LOCK_NB); // new: nobody else holds it
    auto* sh = new (mem) Shared{};
    std::memcpy(sh->magic, kRingMagic, sizeof kRingMagic);
    sh->layout = kRingLayout;
    sh->slot_count = slots;
    sh->ring_size = ring_size;
    sh->file_size = size;
    std::snprintf(sh->ring_path, sizeof sh->ring_path, "%s", out.path);
    out.shared = sh;
    out.fd = fd;
    std::snprintf(g_path, sizeof g_path, "%s", out.path);
    return true;
}

bool back_ring(Shared* sh, std::uint32_t k) noexcept {
    Slot& s = sh->slots()[k];
    if (s.backed.load(std::memory_order_acquire) != 0) return true;
    int fd = ::open(g_path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = allocate(fd, Shared::ring_offset(sh->slot_count, sh->ring_size, k), sh->ring_size);
    ::close(fd);
    if (ok) s.backed.store(1, std::memory_order_release);
    return ok;
}

Shared* map_ring_file(int fd, char* problem, std::size_t room) noexcept {
    struct stat st;
    Shared head;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(sizeof head) ||
        ::pread(fd, &head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head.magic, kRingMagic, sizeof kRingMagic) != 0 || head.layout != kRingLayout) {
        std::snprintf(problem, room, "not a recording's buffers");
        return nullptr;
    }
    if (head.slot_count == 0 || head.slot_count > 4096 || head.ring_size == 0 || head.ring_size % 4096 != 0 ||
        head.ring_size > (1ull << 30) ||
        head.file_size != Shared::total_size(head.slot_count, head.ring_size) ||
        head.file_size != static_cast<std::uint64_t>(st.st_size) || head.header_len > kHeaderRoom) {
        std::snprintf(problem, room, "damaged recording buffers (their sizes disagree)");
        return nullptr;
    }
    void* mem = ::mmap(nullptr, head.file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        std::snprintf(problem, room, "cannot map the recording buffers (%s)", std::strerror(errno));
        return nullptr;
    }
    return static_cast<Shared*>(mem);
}

std::uint64_t process_start_time(int pid) noexcept {
    char path[64], text[1024];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    // After the name, which may hold anything but ends at the last ')': field 22.
    const char* p = std::strrchr(text, ')');
    for (int field = 2; p != nullptr && field < 22; ++field) p = std::strchr(p + 1, ' ');
    return p != nullptr ? std::strtoull(p + 1, nullptr, 10) : 0;
}

} // namespace qvrec
