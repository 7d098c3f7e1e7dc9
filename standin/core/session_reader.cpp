// Mapping a session file and decoding its header and frames.
#include "session_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

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

// magic version flags header_len wall_ns mono_ns pid function_count
constexpr std::size_t kHeaderFixed = QVS_MAGIC_LEN + 2 + 2 + 4 + 8 + 8 + 4 + 2;

// Under AddressSanitizer the file is read into a heap block of exactly its
// size rather than mapped: the sanitizer watches heap blocks, not mappings,
// so a read past the end of a session file is reported where it happens
// (make asan, make fuzz-replay). Which sanitizer is on is only known to the
// preprocessor.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kReadIntoHeap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kReadIntoHeap = true;
#else
constexpr bool kReadIntoHeap = false;
#endif
#else
constexpr bool kReadIntoHeap = false;
#endif

// The file's `size` bytes, mapped or read into the heap; null when they cannot be.
const char* load(int fd, std::size_t size) {
    if constexpr (kReadIntoHeap) {
        char* p = new (std::nothrow) char[size];
        for (std::size_t done = 0; p != nullptr && done < size;) {
            ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(done));
            if (n <= 0) {
                delete[] p;
                p = nullptr;
            }
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return p;
    }
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<const char*>(map);
}

void unload(const char* p, std::size_t size) {
    if constexpr (kReadIntoHeap) {
        delete[] p;
    } else {
        ::munmap(const_cast<char*>(p), size);
    }
}

}  // namespace

bool SessionFile::open(const char* path, std::string& why) {
    close();
    // O_NONBLOCK: a FIFO given as the path must not wait for a writer.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        why = std::string("cannot open ") + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        why = std::string(path) + ": not a session file (not a regular file)";
        return false;
    }
    std::size_t size = static_cast<std::size_t>(info.st_size);
    const char* bytes = size > 0 ? load(fd, size) : nullptr;
    ::close(fd);
    if (bytes == nullptr) {
        why = std::string(path) + ": not a session file (empty or unreadable)";
        return false;
    }
    map_ = bytes;
    size_ = size;
    if (!read_header(why)) {
        why = std::string(path) + ": " + why;
        close();
        return false;
    }
    return true;
}

void SessionFile::close() {
    if (map_ != nullptr) unload(map_, size_);
    map_ = nullptr;
    size_ = 0;
    cursor_ = 0;
    frames_ = 0;
    peeked_.valid = false;
    ended_ = false;
    torn_ = false;
    malformation_.clear();
    fns_.clear();
    fn_names_.clear();
}

bool SessionFile::read_header(std::string& why) {
    Reader r(map_, map_ + size_);
    const char* magic = r.take(QVS_MAGIC_LEN, "the magic");
    if (magic == nullptr || std::memcmp(magic, QVS_MAGIC, QVS_MAGIC_LEN) != 0) {
        why = "not a session file";
        return false;
    }
    std::uint16_t version = r.get<std::uint16_t>();
    if (!r.ok()) {
        why = "the header is incomplete";
        return false;
    }
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
    if (!r.ok() || header > size_) {
        why = "the header is incomplete";
        return false;
    }
    if (header < kHeaderFixed) {
        why = "the header is malformed (header_len " + std::to_string(header) + " is shorter than its " +
              std::to_string(kHeaderFixed) + " bytes of fixed fields)";
        return false;
    }
    // The function names and the core path lie inside header_len: frames start there.
    Reader h(map_ + kHeaderFixed, map_ + header);
    for (int i = 0; i < count && h.ok(); ++i) {
        std::size_t n = h.get<std::uint8_t>();
        const char* name = h.take(n, "a function name");
        if (name == nullptr) break;
        fn_names_.emplace_back(name, n);
        fns_.push_back(find_function(name, n));
    }
    h.take(h.get<std::uint16_t>(), "the core path");
    if (!h.ok()) {
        why = "the header is malformed (its " + std::to_string(count) +
              " function names and core path run past header_len " + std::to_string(header) + ")";
        return false;
    }
    cursor_ = header;
    return true;
}

const View& SessionFile::peek() {
    if (peeked_.valid || ended_ || map_ == nullptr) return peeked_;
    std::size_t at = cursor_;
    if (size_ - at < QVS_FRAME_PREFIX) {
        ended_ = true;
        torn_ = at < size_;
        return peeked_;
    }
    std::uint32_t len, sum;
    std::memcpy(&len, map_ + at, 4);
    std::memcpy(&sum, map_ + at + 4, 4);
    std::size_t body = at + QVS_FRAME_PREFIX;
    if (len < QVS_BODY_FIXED || len > size_ - body || checksum(map_ + body, len) != sum) {
        ended_ = torn_ = true;
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
    malformation_ = check_frame(v, fn_names_.size(), scratch_);
    v.malformed = !malformation_.empty();
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
