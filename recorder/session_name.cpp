#include "session_name.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qvrec {

namespace {

constexpr unsigned kMaxNumber = 9999;

const char* kind_of(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISSOCK(mode)) return "a socket";
    return "of another kind";
}

} // namespace

bool numbered_name(const char* asked, unsigned n, char* out, std::size_t room) noexcept {
    if (n == 0) return std::snprintf(out, room, "%s", asked) < static_cast<int>(room);
    const char* base = std::strrchr(asked, '/');
    base = base != nullptr ? base + 1 : asked;
    const char* dot = std::strrchr(base, '.');
    if (dot == nullptr || dot == base) dot = base + std::strlen(base); // no extension: day -> day.1
    int len = std::snprintf(out, room, "%.*s.%u%s", static_cast<int>(dot - asked), asked, n, dot);
    return len > 0 && len < static_cast<int>(room);
}

bool create_session_file(const char* asked, CreatedFile& out) noexcept {
    out.fd = -1;
    out.problem[0] = '\0';
    for (unsigned n = 0; n <= kMaxNumber; ++n) {
        if (!numbered_name(asked, n, out.path, sizeof out.path)) {
            std::snprintf(out.problem, sizeof out.problem, "%.900s: the file name is too long", asked);
            return false;
        }
        // O_EXCL with O_CREAT never opens what is there, and follows no link.
        int fd = ::open(out.path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0) {
            ::flock(fd, LOCK_EX | LOCK_NB); // new: nobody else holds it
            out.fd = fd;
            return true;
        }
        int err = errno;
        struct stat st;
        if (err == EEXIST && ::lstat(out.path, &st) == 0 && S_ISREG(st.st_mode)) continue; // kept
        if (err == EEXIST && ::lstat(out.path, &st) == 0) {
            std::snprintf(out.problem, sizeof out.problem, "%.900s exists and is not a regular file (%s)",
                          out.path, kind_of(st.st_mode));
        } else {
            std::snprintf(out.problem, sizeof out.problem, "cannot create %.900s (%s)", out.path,
                          std::strerror(err));
        }
        return false;
    }
    std::snprintf(out.problem, sizeof out.problem, "%.900s and %u numbered names after it exist", asked,
                  kMaxNumber);
    return false;
}

} // namespace qvrec
