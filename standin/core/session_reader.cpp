// Mapping a session file and decoding its header and frames.
#include "session_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "session_format.h"

namespace standin {

namespace {

// Adler-32, as zlib computes it.
std::uint32_t checksum(const char* p, std::size_t n) {
    constexpr std::uint32_t kBase = 65521;
    std::uint32_t a = 1, b = 0;
    while (n > 0) {
        std::size_t chunk = n < 5552 ? n : 5552;
        n -= chunk;
        for (std::size_t i = 0; i < chunk; ++i) {
            a += static_cast<unsigned char>(*p++);
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return b << 16 | a;
}

constexpr std::uint16_t kOldestVersion = 1;  // version 1 has no flags and no LOST frames

}  // namespace

bool read_args(Reader& r, std::vector<RecArg>& out) {
    int n = r.get<std::uint8_t>();
    for (int k = 0; k < n && r.ok(); ++k) {
        RecArg a;
        a.tag = r.get<std::uint8_t>();
        std::uint32_t len = 0;
        switch (a.tag) {
        case QVS_ARG_INT: a.i = r.get<std::int64_t>(); break;
        case QVS_ARG_DOUBLE: a.d = r.get<double>(); break;
        case QVS_ARG_BOOL: a.i = r.get<std::uint8_t>(); break;
        case QVS_ARG_TEXT:
            a.bytes = r.text(len);
            a.len = len;
            break;
        case QVS_ARG_NULL: break;
        case QVS_ARG_REDACTED:
            a.original = r.get<std::uint32_t>();
            a.bytes = r.text(len);
            a.len = len;
            break;
        case QVS_ARG_BUFFER:
            a.len = r.get<std::int32_t>();
            a.has_bytes = r.get<std::uint8_t>() != 0;
            if (a.has_bytes) a.bytes = r.take(static_cast<std::size_t>(a.len));
            break;
        case QVS_ARG_OUT:
        case QVS_ARG_FN: a.has_bytes = r.get<std::uint8_t>() != 0; break;
        default: return false;
        }
        out.push_back(a);
    }
    return r.ok();
}

Recorded read_recorded(Reader& r) {
    Recorded a;
    std::uint8_t tag = r.get<std::uint8_t>();
    std::uint32_t len = 0;
    switch (tag) {
    case QVS_RESULT_INT: a.value = r.get<std::int64_t>(); break;
    case QVS_RESULT_DOUBLE: a.dbl = r.get<double>(); break;
    case QVS_RESULT_TEXT: a.text = r.text(len); break;
    case QVS_RESULT_REDACTED:
        r.get<std::uint32_t>();
        a.text = r.text(len);
        break;
    default: break;
    }
    std::uint8_t out = r.get<std::uint8_t>();
    if (out == QVS_OUT_RESPONSE) {
        a.has_response = true;
        a.res_null = r.get<std::uint8_t>() != 0;
        a.res_len = r.get<std::int32_t>();
        a.res = a.res_null ? nullptr : a.res_len > 0 ? r.take(static_cast<std::size_t>(a.res_len)) : "";
    } else if (out == QVS_OUT_TEXT) {
        a.has_out_text = true;
        if (r.get<std::uint8_t>() == QVS_ARG_TEXT) a.text = r.text(len);
    }
    return a;
}

RecEvent read_event(const View& v) {
    RecEvent e;
    Reader r = v.reader();
    e.msg = r.text(e.msg_len);
    e.data_len = r.get<std::int32_t>();
    bool null_data = r.get<std::uint8_t>() != 0;
    e.data = null_data ? nullptr : r.pos();
    e.ok = r.ok() && e.msg != nullptr;
    if ((v.flags & QVS_FLAG_MSG_NULL) != 0) e.msg = nullptr;
    return e;
}

RecLost read_lost(const View& v) {
    Reader r = v.reader();
    RecLost l;
    l.frames = r.get<std::uint64_t>();
    l.bytes = r.get<std::uint64_t>();
    l.depth = r.get<std::uint32_t>();
    return l;
}

bool SessionFile::open(const char* path, std::string& why) {
    close();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        why = std::string("cannot open ") + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    std::size_t size = static_cast<std::size_t>(info.st_size);
    void* map = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED) {
        why = std::string(path) + ": not a session file (empty or unreadable)";
        return false;
    }
    map_ = static_cast<const char*>(map);
    size_ = size;
    if (!read_header(why)) {
        why = std::string(path) + ": " + why;
        close();
        return false;
    }
    return true;
}

void SessionFile::close() {
    if (map_ != nullptr) ::munmap(const_cast<char*>(map_), size_);
    map_ = nullptr;
    size_ = 0;
    cursor_ = 0;
    frames_ = 0;
    peeked_.valid = false;
    torn_ = false;
    fns_.clear();
    fn_names_.clear();
}

bool SessionFile::read_header(std::string& why) {
    Reader r(map_, map_ + size_);
    const char* magic = r.take(QVS_MAGIC_LEN);
    if (magic == nullptr || std::memcmp(magic, QVS_MAGIC, QVS_MAGIC_LEN) != 0) {
        why = "not a session file";
        return false;
    }
    std::uint16_t version = r.get<std::uint16_t>();
    if (version < kOldestVersion || version > QVS_VERSION) {
        why = "a session file of version " + std::to_string(version) + ", not " +
              std::to_string(kOldestVersion) + " to " + std::to_string(QVS_VERSION);
        return false;
    }
    r.get<std::uint16_t>();
    std::uint32_t header = r.get<std::uint32_t>();
    r.get<std::int64_t>();
    r.get<std::int64_t>();
    r.get<std::uint32_t>();
    int count = r.get<std::uint16_t>();
    for (int i = 0; i < count && r.ok(); ++i) {
        std::size_t n = r.get<std::uint8_t>();
        const char* name = r.take(n);
        if (name == nullptr) break;
        fn_names_.emplace_back(name, n);
        fns_.push_back(find_function(name, n));
    }
    if (!r.ok() || header > size_) {
        why = "the header is incomplete";
        return false;
    }
    cursor_ = header;
    return true;
}

const View& SessionFile::peek() {
    if (peeked_.valid || map_ == nullptr) return peeked_;
    std::size_t at = cursor_;
    if (at + QVS_FRAME_PREFIX > size_) {
        torn_ = at < size_;
        return peeked_;
    }
    std::uint32_t len, sum;
    std::memcpy(&len, map_ + at, 4);
    std::memcpy(&sum, map_ + at + 4, 4);
    std::size_t body = at + QVS_FRAME_PREFIX;
    if (len < QVS_BODY_FIXED || len > size_ - body || checksum(map_ + body, len) != sum) {
        torn_ = true;
        return peeked_;
    }
    View v;
    v.valid = true;
    v.offset = at;
    Reader r(map_ + body, map_ + body + len);
    v.kind = r.get<std::uint8_t>();
    v.flags = r.get<std::uint8_t>();
    v.fn = r.get<std::uint16_t>();
    v.thread = r.get<std::uint32_t>();
    v.start_ns = r.get<std::int64_t>();
    r.get<std::int64_t>();
    v.body = r.pos();
    v.end = map_ + body + len;
    peeked_ = v;
    return peeked_;
}

void SessionFile::consume() {
    if (!peeked_.valid) return;
    cursor_ = static_cast<std::size_t>(peeked_.end - map_);
    peeked_.valid = false;
    ++frames_;
}

const FnState* SessionFile::function(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < fns_.size() ? fns_[index] : nullptr;
}

const char* SessionFile::function_name(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < fn_names_.size() ? fn_names_[index].c_str() : "?";
}

}  // namespace standin
