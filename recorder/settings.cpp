#include "settings.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qvrec {

namespace {

bool switched_on(const char* v) {
    return v != nullptr && (std::strcmp(v, "1") == 0 || std::strcmp(v, "on") == 0 ||
                            std::strcmp(v, "yes") == 0 || std::strcmp(v, "true") == 0);
}

// "C_SDK_RECORD_MAX_BYTES=abc is not a size (...)"
void refuse(const char* name, const char* value, const char* what) {
    char line[512];
    std::snprintf(line, sizeof line, "%s=%.200s is not %s; not recording", name, value, what);
    say(line);
}

// An optional size setting within [low, high]; unset leaves `out` alone.
// A count is a plain number; a size may have a multiple.
bool size_setting(const char* name, std::uint64_t low, std::uint64_t high, std::uint64_t& out, bool count) {
    const char* v = std::getenv(name);
    if (v == nullptr) return true;
    std::uint64_t n = 0;
    bool plain = v[0] != '\0' && std::strspn(v, "0123456789") == std::strlen(v);
    if (count ? !plain || !parse_size(v, n) : !parse_size(v, n)) {
        refuse(name, v,
               count ? "a whole number" : "a size (bytes, or a number with k, M or G: 65536, 512k, 4M)");
        return false;
    }
    if (n < low || n > high) {
        char what[128];
        std::snprintf(what, sizeof what, "%s from %llu to %llu%s", count ? "a number" : "a size",
                      static_cast<unsigned long long>(low), static_cast<unsigned long long>(high),
                      count ? "" : " bytes");
        refuse(name, v, what);
        return false;
    }
    out = n;
    return true;
}

} // namespace

void say(const char* text) noexcept {
    char line[1200];
    int n = std::snprintf(line, sizeof line, "c_sdk recorder: %s\n", text);
    if (n <= 0) return;
    std::size_t len =
        static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    ssize_t ignored = ::write(2, line, len);
    (void)ignored;
}

bool parse_size(const char* text, std::uint64_t& out) noexcept {
    const char* p = text;
    if (*p < '0' || *p > '9') return false; // no sign, no blank, something
    unsigned long long whole = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (whole > (~0ull - 9) / 10) return false;
        whole = whole * 10 + static_cast<unsigned>(*p - '0');
    }
    // A fraction: kept as an exact ratio, applied after the multiple.
    unsigned long long frac = 0, frac_div = 1;
    if (*p == '.') {
        ++p;
        if (*p < '0' || *p > '9') return false;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (frac_div > 1'000'000'000'000ull) return false;
            frac = frac * 10 + static_cast<unsigned>(*p - '0');
            frac_div *= 10;
        }
    }
    int shift = 0;
    switch (*p) {
    case 'k':
    case 'K': shift = 10; break;
    case 'm':
    case 'M': shift = 20; break;
    case 'g':
    case 'G': shift = 30; break;
    case 't':
    case 'T': shift = 40; break;
    default: break;
    }
    if (shift != 0) {
        ++p;
        if (*p == 'i') ++p;
        if (*p == 'B') ++p;
    } else if (*p == 'B') {
        ++p;
    }
    if (*p != '\0') return false;
    if (whole > (~0ull >> shift)) return false;
    unsigned __int128 bytes = static_cast<unsigned __int128>(whole) << shift;
    unsigned __int128 part = (static_cast<unsigned __int128>(frac) << shift);
    if (part % frac_div != 0) return false; // a fraction of a byte
    bytes += part / frac_div;
    if (bytes > ~0ull) return false;
    out = static_cast<std::uint64_t>(bytes);
    return true;
}

char* expand_path(const char* pattern) noexcept {
    char pid[24];
    int pid_len = std::snprintf(pid, sizeof pid, "%d", static_cast<int>(::getpid()));
    // Relative to where the process started: it may change its directory later.
    char cwd[4096] = "";
    if (pattern[0] != '/' && ::getcwd(cwd, sizeof cwd - 1) != nullptr) std::strcat(cwd, "/");
    std::size_t len = std::strlen(cwd);
    for (const char* p = pattern; *p; ++p) {
        bool is_pid = p[0] == '%' && p[1] == 'p';
        len += is_pid ? static_cast<std::size_t>(pid_len) : 1;
        p += is_pid ? 1 : 0;
    }
    char* out = static_cast<char*>(std::malloc(len + 1));
    if (out == nullptr) return nullptr;
    char* o = out + std::strlen(cwd);
    std::memcpy(out, cwd, static_cast<std::size_t>(o - out));
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 'p') {
            std::memcpy(o, pid, static_cast<std::size_t>(pid_len));
            o += pid_len;
            ++p;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

bool read_settings(Settings& s) noexcept {
    if (!switched_on(std::getenv("C_SDK_RECORD"))) return false;
    const char* file = std::getenv("C_SDK_RECORD_FILE");
    if (file == nullptr || *file == '\0') {
        say("C_SDK_RECORD is on but C_SDK_RECORD_FILE is not set; not recording");
        return false;
    }
    if (const char* v = std::getenv("C_SDK_RECORD_MAX_BYTES")) {
        if (!parse_size(v, s.limit)) {
            refuse("C_SDK_RECORD_MAX_BYTES", v,
                   "a size (bytes, or a number with k, M or G: 20000, 512k, 1.5G; 0 for no limit)");
            return false;
        }
        s.limit_text = v;
    }
    std::uint64_t threads = s.threads;
    if (!size_setting("C_SDK_RECORD_BUFFER", 64u << 10, 1ull << 30, s.ring_size, false) ||
        !size_setting("C_SDK_RECORD_THREADS", 1, 4096, threads, true)) {
        return false;
    }
    s.ring_size &= ~std::uint64_t{4095}; // rings start on pages of their own
    s.threads = static_cast<std::uint32_t>(threads);
    s.pattern = file;
    // A folder given for the rings is its giver's to collect (record): the
    // writer leaves its ring file there when done.
    const char* rings = std::getenv("C_SDK_RECORD_RING_DIR");
    s.keep_rings = rings != nullptr && *rings != '\0';
    s.ring_dir = s.keep_rings ? rings : ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    s.path = expand_path(file);
    return s.path != nullptr;
}

} // namespace qvrec
