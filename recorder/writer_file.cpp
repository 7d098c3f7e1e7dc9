#include "writer_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "checksum.hpp"
#include "session_format.h"

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

} // namespace

SessionFile::SessionFile(Shared* sh, int fd, std::uint64_t written) noexcept
    : sh_(sh), fd_(fd), written_(written) {
    void* buf = ::mmap(nullptr, kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buf == MAP_FAILED) {
        stop("out of memory", 0);
        return;
    }
    buf_ = static_cast<char*>(buf);
    if (written_ == 0) { // the recorded process checked it against the limit
        std::memcpy(buf_, sh_->header, sh_->header_len);
        used_ = sh_->header_len;
    }
}

// The line is said by the recorded process (or reported by record, once it
// is gone): the writer keeps none of its descriptors.
void SessionFile::stop(const char* why, int err) noexcept {
    if (stopped_) return;
    stopped_ = true;
    char* line = sh_->stop_line;
    std::size_t room = sizeof sh_->stop_line;
    if (err != 0) {
        const char* text = error_text(err);
        char number[32];
        if (text == nullptr) {
            std::snprintf(number, sizeof number, "error %d", err);
            text = number;
        }
        std::snprintf(line, room, "%.900s: %s (%s); recording stopped", sh_->path, why, text);
    } else {
        std::snprintf(line, room, "%.900s: %s; recording stopped", sh_->path, why);
    }
    sh_->state.store(kStopped, std::memory_order_release);
    sh_->stopped.store(1, std::memory_order_release);
    close();
}

void SessionFile::stop_at_limit() noexcept {
    char why[200];
    std::snprintf(why, sizeof why, "the size limit of %llu bytes is reached (C_SDK_RECORD_MAX_BYTES=%.40s)",
                  static_cast<unsigned long long>(sh_->limit), sh_->limit_text);
    stop(why, 0);
}

bool SessionFile::write_all(const char* p, std::size_t len) noexcept {
    while (len > 0) {
        ssize_t n = ::write(fd_, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            // What was written of this piece goes: the file ends on a whole frame.
            if (::ftruncate(fd_, static_cast<off_t>(whole_)) == 0) written_ = whole_;
            stop("writing failed", err);
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
        sh_->progress.store(written_, std::memory_order_relaxed);
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
    whole_ = written_;
    bool ok = write_all(buf_, used_);
    used_ = 0;
    return ok;
}

bool SessionFile::add(const char* body, std::uint32_t len) noexcept {
    if (stopped_) return false;
    std::size_t total = QVS_FRAME_PREFIX + len;
    if (sh_->limit != 0 && written_ + used_ + total > sh_->limit) {
        if (flush()) stop_at_limit();
        return false;
    }
    std::uint32_t prefix[2] = {len, checksum(body, len)};
    if (used_ + total > kBufferSize) {
        if (!flush()) return false;
        whole_ = written_;
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
