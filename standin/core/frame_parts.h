// The parts of a session frame's body (docs/session-file.md): arguments,
// result and output, event, gap record. A session file may come from
// anywhere, so every length is checked against the end of the frame before
// anything is read through it: a part that does not fit, or holds a tag
// the format does not have, is malformed and says why in one phrase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace standin {

// Bounds-checked reading of little-endian fields; once a read fails, ok() is
// false, why() tells the first failure, and every later read gives zeros
// and nulls.
class Reader {
public:
    Reader(const char* p, const char* e) : p_(p), e_(e) {}
    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }
    std::size_t left() const { return static_cast<std::size_t>(e_ - p_); }
    const char* pos() const { return p_; }

    template <class T>
    T get() {
        T v{};
        if (!ok_ || left() < sizeof v) {
            fail("the frame ends inside a field");
            return v;
        }
        std::memcpy(&v, p_, sizeof v);
        p_ += sizeof v;
        return v;
    }
    // n bytes; `what` names them in the failure ("a request").
    const char* take(std::size_t n, const char* what) {
        if (!ok_ || left() < n) {
            fail(std::string(what) + " of " + std::to_string(n) + " bytes runs past the frame's end");
            return nullptr;
        }
        const char* at = p_;
        p_ += n;
        return at;
    }
    // len:u32 bytes NUL; the bytes, NUL-terminated in the file (they go to C
    // code as a string, so a missing NUL is a malformed text).
    const char* text(std::uint32_t& len) {
        len = get<std::uint32_t>();
        if (!ok_) return nullptr;
        if (left() <= len) {
            fail("a text of " + std::to_string(len) + " bytes runs past the frame's end");
            return nullptr;
        }
        const char* at = p_;
        if (at[len] != '\0') {
            fail("a text of " + std::to_string(len) + " bytes without its NUL");
            return nullptr;
        }
        p_ += static_cast<std::size_t>(len) + 1;
        return at;
    }
    // Marks the part malformed; only the first failure is kept.
    void fail(std::string why) {
        if (!ok_) return;
        ok_ = false;
        why_ = std::move(why);
    }
    // Prefixes the failure with where it happened ("argument 2: ").
    void locate(const std::string& where) {
        if (!ok_) why_ = where + why_;
    }

private:
    const char* p_;
    const char* e_;
    bool ok_ = true;
    std::string why_;
};

// A frame: its fixed part, and its body after it.
struct View {
    bool valid = false;
    bool malformed = false;  // its body does not hold what its kind says (SessionFile::malformation)
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

// One recorded argument. Texts and readable requests point at their bytes
// inside the frame, `len` of them.
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
    const char* res = nullptr;  // res_len bytes when res_len > 0
    bool has_out_text = false;
};

// A recorded event; msg is null when the core passed a null msg_type.
struct RecEvent {
    bool ok = false;
    const char* msg = nullptr;
    std::uint32_t msg_len = 0;
    int data_len = 0;
    const char* data = nullptr;  // null when the core passed null data; data_len bytes when positive
};

// A LOST frame: a gap in the recording of one thread.
struct RecLost {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
    std::uint32_t depth = 0;
};

// Each decoder reads its part at r; r.ok() tells whether it was whole. `out`
// gets only the arguments read whole.
bool read_args(Reader& r, std::vector<RecArg>& out);
// The result part of a CALL (before its arguments) or CALL_CLOSE frame.
Recorded read_recorded(Reader& r);
RecEvent read_event(const View& v);
RecLost read_lost(const View& v);

// Why the body of `v` is not what its kind says, or empty when it is;
// `functions` is how many the header names (a call's index must be one of
// them). `scratch` is reused between frames.
std::string check_frame(const View& v, std::size_t functions, std::vector<RecArg>& scratch);

}  // namespace standin
