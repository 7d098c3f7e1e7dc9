#include "writer_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "checksum.hpp"
#include "recorder.hpp"
#include "settings.hpp"

namespace qvrec {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

// strerror() may take the locale's lock, which a thread of the recorded
// process may have held when it forked: the usual causes, spelled out.
const char* error_text(int err) {
    switch (err) {
    case ENOSPC: return "No space left on device";
    case EDQUOT: return "Disk quota exceeded";
    case EFBIG: return "File too large";
    case EIO: return "Input/output error";
    case EACCES: return "Permission denied";
    case EPERM: return "Operation not permitted";
    case ENOENT: return "No such file or directory";
    case ENOTDIR: return "Not a directory";
    case EISDIR: return "Is a directory";
    case EROFS: return "Read-only file system";
    case ENXIO: return "No such device or address";
    case EAGAIN: return "Resource temporarily unavailable";
    case EPIPE: return "Broken pipe";
    case ENAMETOOLONG: return "File name too long";
    case ELOOP: return "Too many levels of symbolic links";
    case EMFILE: return "Too many open files";
    case ENOMEM: return "Cannot allocate memory";
    case ETXTBSY: return "Text file busy";
    case ENODEV: return "No such device";
    default: return nullptr;
    }
}

template <class T>
void put(char*& p, T v) {
    std::memcpy(p, &v, sizeof v);
    p += sizeof v;
}

std::size_t header(char* out, const WriterSetup& s) {
    const char* core = s.shared->core_path_set.load(std::memory_order_acquire) ? s.shared->core_path : "";
    std::size_t core_len = ::strnlen(core, sizeof s.shared->core_path);
    std::size_t size = QVS_MAGIC_LEN + 2 + 2 + 4 + 8 + 8 + 4 + 2 + 2 + core_len;
    for (int i = 0; i < kFunctionCount; ++i) size += 1 + std::strlen(kFunctionNames[i]);
    if (out == nullptr) return size;
    char* p = out;
    std::memcpy(p, QVS_MAGIC, QVS_MAGIC_LEN);
    p += QVS_MAGIC_LEN;
    put<std::uint16_t>(p, QVS_VERSION);
    put<std::uint16_t>(p, 0);
    put<std::uint32_t>(p, static_cast<std::uint32_t>(size));
    put<std::int64_t>(p, s.wall_ns);
    put<std::int64_t>(p, s.mono_ns);
    put<std::uint32_t>(p, s.pid);
    put<std::uint16_t>(p, static_cast<std::uint16_t>(kFunctionCount));
    for (int i = 0; i < kFunctionCount; ++i) {
        std::size_t n = std::strlen(kFunctionNames[i]);
        put<std::uint8_t>(p, static_cast<std::uint8_t>(n));
        std::memcpy(p, kFunctionNames[i], n);
        p += n;
    }
    put<std::uint16_t>(p, static_cast<std::uint16_t>(core_len));
    std::memcpy(p, core, core_len);
    return size;
}

} // namespace

void SessionFile::stop(const char* why, int err) noexcept {
    if (stopped_) return;
    stopped_ = true;
    s_.shared->stopped.store(1, std::memory_order_release);
    char line[1100];
    if (err != 0) {
        const char* text = error_text(err);
        char number[32];
        if (text == nullptr) {
            std::snprintf(number, sizeof number, "error %d", err);
            text = number;
        }
        std::snprintf(line, sizeof line, "%.900s: %s (%s); recording stopped", s_.path, why, text);
    } else {
        std::snprintf(line, sizeof line, "%.900s: %s; recording stopped", s_.path, why);
    }
    say(line);
    close();
}

void SessionFile::stop_at_limit() noexcept {
    char why[200];
    std::snprintf(why, sizeof why, "the size limit of %llu bytes is reached (C_SDK_RECORD_MAX_BYTES=%.40s)",
                  static_cast<unsigned long long>(s_.limit), s_.limit_text);
    stop(why, 0);
}

// Created 0600; an existing file is made 0600 before anything is written to
// it. A file another live process records into is left alone. The lock is
// held until the writer ends: the file is complete once it is free.
bool SessionFile::open() noexcept {
    if (opened_) return fd_ >= 0;
    opened_ = true;
    int fd = ::open(s_.path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        stop("cannot open the file", errno);
        return false;
    }
    fd_ = fd;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            stop("another process is recording into this file", 0);
            return false;
        }
        if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, 0) != 0) {
            stop("cannot prepare the file", errno);
            return false;
        }
    }
    void* buf = ::mmap(nullptr, kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buf == MAP_FAILED) {
        stop("out of memory", 0);
        return false;
    }
    buf_ = static_cast<char*>(buf);
    std::size_t size = header(nullptr, s_);
    if (s_.limit != 0 && size > s_.limit) {
        stop_at_limit();
        return false;
    }
    used_ = header(buf_, s_);
    return true;
}

bool SessionFile::write_all(const char* p, std::size_t len) noexcept {
    while (len > 0) {
        ssize_t n = ::write(fd_, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            stop("writing failed", n < 0 ? errno : EIO);
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
        s_.shared->progress.store(written_, std::memory_order_relaxed);
    }
    return true;
}

bool SessionFile::flush() noexcept {
    if (stopped_) return false;
    if (fd_ < 0 || used_ == 0) return true;
    // A removed file is written to no one: the recording would be lost.
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0) {
        stop("the file was removed", 0);
        return false;
    }
    bool ok = write_all(buf_, used_);
    used_ = 0;
    return ok;
}

bool SessionFile::add(const char* body, std::uint32_t len) noexcept {
    if (stopped_ || !open()) return false;
    std::size_t total = QVS_FRAME_PREFIX + len;
    if (s_.limit != 0 && written_ + used_ + total > s_.limit) {
        if (flush()) stop_at_limit();
        return false;
    }
    std::uint32_t prefix[2] = {len, checksum(body, len)};
    if (used_ + total > kBufferSize) {
        if (!flush()) return false;
        if (total > kBufferSize) // a frame larger than the buffer goes straight out
            return write_all(reinterpret_cast<const char*>(prefix), sizeof prefix) && write_all(body, len);
    }
    std::memcpy(buf_ + used_, prefix, sizeof prefix);
    std::memcpy(buf_ + used_ + sizeof prefix, body, len);
    used_ += total;
    return true;
}

void SessionFile::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

} // namespace qvrec
