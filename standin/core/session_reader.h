// Reading a session file (docs/session-file.md, versions 1 and 2): the file
// is mapped, and a cursor walks its frames one by one. Everything read
// points into the mapping, which lives until close().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "functions.h"

namespace standin {

// Bounds-checked reading of little-endian fields; once a read runs past the
// end, ok() is false and every later read gives zeros and nulls.
class Reader {
public:
    Reader(const char* p, const char* e) : p_(p), e_(e) {}
    bool ok() const { return ok_; }
    template <class T>
    T get() {
        T v{};
        if (e_ - p_ < static_cast<std::ptrdiff_t>(sizeof v)) {
            ok_ = false;
            return v;
        }
        std::memcpy(&v, p_, sizeof v);
        p_ += sizeof v;
        return v;
    }
    const char* take(std::size_t n) {
        if (static_cast<std::size_t>(e_ - p_) < n) {
            ok_ = false;
            return nullptr;
        }
        const char* at = p_;
        p_ += n;
        return at;
    }
    // len:u32 bytes NUL; returns the bytes (NUL-terminated in the file).
    const char* text(std::uint32_t& len) {
        len = get<std::uint32_t>();
        return take(static_cast<std::size_t>(len) + 1);
    }
    const char* pos() const { return p_; }

private:
    const char* p_;
    const char* e_;
    bool ok_ = true;
};

// The frame at the cursor: its fixed part, and its body after it.
struct View {
    bool valid = false;
    std::uint8_t kind = 0;
    std::uint8_t flags = 0;
    int fn = 0;
    std::uint32_t thread = 0;
    long long start_ns = 0;
    const char* body = nullptr;  // after the fixed part
    const char* end = nullptr;
    std::size_t offset = 0;

    Reader reader() const { return Reader(body, end); }
};

// One recorded argument.
struct RecArg {
    std::uint8_t tag = 0;
    long long i = 0;
    double d = 0.0;
    const char* bytes = nullptr;
    long long len = 0;       // text/bytes length, or req_len
    bool has_bytes = false;  // buffer readable, out/fn non-null
    std::uint32_t original = 0;
};

// The recorded result of a call and what it wrote.
struct Recorded {
    long long value = 0;  // int / long long result
    double dbl = 0.0;
    const char* text = nullptr;  // returned text, or the text written through char**
    bool has_response = false;
    bool res_null = false;
    int res_len = 0;
    const char* res = nullptr;
    bool has_out_text = false;
};

// A recorded event; msg is null when the core passed a null msg_type.
struct RecEvent {
    bool ok = false;
    const char* msg = nullptr;
    std::uint32_t msg_len = 0;
    int data_len = 0;
    const char* data = nullptr;  // null when the core passed null data
};

// A LOST frame: a gap in the recording of one thread.
struct RecLost {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
    std::uint32_t depth = 0;
};

bool read_args(Reader& r, std::vector<RecArg>& out);
// The result part of a CALL (before its arguments) or CALL_CLOSE frame.
Recorded read_recorded(Reader& r);
RecEvent read_event(const View& v);
RecLost read_lost(const View& v);

class SessionFile {
public:
    // Maps and checks the header; false with `why` set when it cannot.
    bool open(const char* path, std::string& why);
    void close();
    bool is_open() const { return map_ != nullptr; }

    // The frame at the cursor; invalid at the end of the file or at a torn
    // last frame (see torn()).
    const View& peek();
    void consume();
    long long frames() const { return frames_; }  // consumed so far
    std::size_t offset() const { return peeked_.valid ? peeked_.offset : cursor_; }
    bool torn() const { return torn_; }

    // A recorded function index: the stand-in's function, and its name.
    const FnState* function(int index) const;
    const char* function_name(int index) const;

private:
    bool read_header(std::string& why);

    const char* map_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cursor_ = 0;
    long long frames_ = 0;
    View peeked_;
    bool torn_ = false;
    std::vector<const FnState*> fns_;
    std::vector<std::string> fn_names_;
};

}  // namespace standin
