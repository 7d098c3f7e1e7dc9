// What crossed, as the generated functions describe it: one small type per
// kind of C argument or result, each knowing its encoded size and writing
// itself (session_format.h). Each function's arguments are a tuple of these,
// so the compiler lays out every signature's copy as straight-line code: no
// tags to dispatch on, sizes summed from constants and lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>

#include "qvcsdk.h"
#include "session_format.h"

namespace qvrec {

template <class T>
inline char* put(char* p, T v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
}

inline char* put_bytes(char* p, const void* src, std::size_t len) {
    if (len > 0) std::memcpy(p, src, len);
    return p + len;
}

// len:u32 bytes NUL
inline char* put_text(char* p, const char* s, std::size_t len) {
    p = put<std::uint32_t>(p, static_cast<std::uint32_t>(len));
    p = put_bytes(p, s, len);
    return put<std::uint8_t>(p, 0);
}

// A text, or a null const char*. Its length is measured when the frame is
// sized, after the call: measured before it, every argument still held in a
// register would be saved around strlen and loaded again for the call.
// size() always comes before write().
struct TextValue {
    const char* s;
    mutable std::size_t len = 0;
    explicit TextValue(const char* v) : s(v) {}
    std::size_t size() const {
        if (s == nullptr) return 1;
        len = __builtin_strlen(s);
        return 1 + 4 + len + 1;
    }
    char* write(char* p) const {
        if (s == nullptr) return put<std::uint8_t>(p, QVS_ARG_NULL);
        return put_text(put<std::uint8_t>(p, QVS_ARG_TEXT), s, len);
    }
};

// A secret: original_len:u32 and "<redacted: N bytes>" in its place.
struct SecretValue {
    bool null;
    std::uint32_t original;
    int shown_len;
    char shown[40];
    explicit SecretValue(const char* v) : null(v == nullptr), original(0), shown_len(0), shown() {
        if (null) return;
        original = static_cast<std::uint32_t>(__builtin_strlen(v));
        shown_len = std::snprintf(shown, sizeof shown, "<redacted: %u bytes>", original);
    }
    std::size_t size() const { return null ? 1 : 1 + 4 + 4 + static_cast<std::size_t>(shown_len) + 1; }
    char* write(char* p, std::uint8_t tag) const {
        if (null) return put<std::uint8_t>(p, QVS_ARG_NULL);
        p = put<std::uint32_t>(put<std::uint8_t>(p, tag), original);
        return put_text(p, shown, static_cast<std::size_t>(shown_len));
    }
    char* write(char* p) const { return write(p, QVS_ARG_REDACTED); }
};

// ---- arguments ----------------------------------------------------------------------

struct Int {
    long long v;
    static constexpr std::size_t size() { return 1 + 8; }
    char* write(char* p) const { return put<std::int64_t>(put<std::uint8_t>(p, QVS_ARG_INT), v); }
};
struct Double {
    double v;
    static constexpr std::size_t size() { return 1 + 8; }
    char* write(char* p) const { return put<double>(put<std::uint8_t>(p, QVS_ARG_DOUBLE), v); }
};
struct Bool {
    bool v;
    static constexpr std::size_t size() { return 1 + 1; }
    char* write(char* p) const { return put<std::uint8_t>(put<std::uint8_t>(p, QVS_ARG_BOOL), v ? 1 : 0); }
};
using Text = TextValue;
using Secret = SecretValue;
// The request of a `void* req, int req_len` pair: req_len:i32 readable:u8 [bytes]
struct Buffer {
    const void* p;
    int len;
    bool readable() const { return p != nullptr && len >= 0; }
    std::size_t size() const { return 1 + 4 + 1 + (readable() ? static_cast<std::size_t>(len) : 0); }
    char* write(char* out) const {
        out = put<std::int32_t>(put<std::uint8_t>(out, QVS_ARG_BUFFER), len);
        out = put<std::uint8_t>(out, readable() ? 1 : 0);
        return readable() ? put_bytes(out, p, static_cast<std::size_t>(len)) : out;
    }
};
// An out-parameter or a callback: only whether it was null.
template <std::uint8_t Tag>
struct NonNull {
    const void* p;
    static constexpr std::size_t size() { return 2; }
    char* write(char* out) const {
        return put<std::uint8_t>(put<std::uint8_t>(out, Tag), p != nullptr ? 1 : 0);
    }
};
using Out = NonNull<QVS_ARG_OUT>;
using Fn = NonNull<QVS_ARG_FN>;

// count:u8, then each argument.
template <class... A>
struct Args {
    std::tuple<A...> values;
    [[gnu::always_inline]] std::size_t size() const { return size_of(std::index_sequence_for<A...>{}); }
    [[gnu::always_inline]] char* write(char* p) const {
        return write_each(put<std::uint8_t>(p, sizeof...(A)), std::index_sequence_for<A...>{});
    }
    // For an OPEN frame written later, from a call inside this one.
    static char* write_erased(const void* self, char* p) { return static_cast<const Args*>(self)->write(p); }
    static std::size_t size_erased(const void* self) { return static_cast<const Args*>(self)->size(); }

private:
    // Folded by hand rather than through std::apply: its lambda is not
    // always inlined for long signatures, and the copy must stay one block.
    template <std::size_t... I>
    [[gnu::always_inline]] std::size_t size_of(std::index_sequence<I...>) const {
        return (std::size_t{1} + ... + std::get<I>(values).size());
    }
    template <std::size_t... I>
    [[gnu::always_inline]] char* write_each(char* p, std::index_sequence<I...>) const {
        ((p = std::get<I>(values).write(p)), ...);
        return p;
    }
};

template <class... A>
Args<A...> args(A... a) {
    return Args<A...>{std::tuple<A...>(a...)};
}

// ---- results ------------------------------------------------------------------------

// tag:u8 value, then output tag:u8 and what was read through out-parameters
// (only on success: callers read them then only).
struct Result {
    std::uint8_t tag = QVS_RESULT_VOID;
    std::uint8_t out = QVS_OUT_NONE;
    long long i = 0;
    double d = 0.0;
    const char* text = nullptr; // result text, or the written out-text
    std::size_t text_len = 0;
    const void* res = nullptr; // response
    int res_len = 0;

    [[gnu::always_inline]] std::size_t size() const {
        std::size_t n = 2;
        switch (tag) {
        case QVS_RESULT_INT:
        case QVS_RESULT_DOUBLE: n += 8; break;
        case QVS_RESULT_TEXT: n += 4 + text_len + 1; break;
        case QVS_RESULT_REDACTED: n += SecretValue(text).size() - 1; break;
        default: break;
        }
        if (out == QVS_OUT_RESPONSE)
            n += 1 + 4 + (res != nullptr && res_len > 0 ? static_cast<std::size_t>(res_len) : 0);
        if (out == QVS_OUT_TEXT) n += text != nullptr ? 1 + 4 + text_len + 1 : 1;
        return n;
    }
    [[gnu::always_inline]] char* write(char* p) const {
        p = put<std::uint8_t>(p, tag);
        switch (tag) {
        case QVS_RESULT_INT: p = put<std::int64_t>(p, i); break;
        case QVS_RESULT_DOUBLE: p = put<double>(p, d); break;
        case QVS_RESULT_TEXT: p = put_text(p, text, text_len); break;
        case QVS_RESULT_REDACTED: p = SecretValue(text).write(p - 1, QVS_RESULT_REDACTED); break;
        default: break;
        }
        p = put<std::uint8_t>(p, out);
        if (out == QVS_OUT_RESPONSE) {
            p = put<std::uint8_t>(p, res == nullptr ? 1 : 0);
            p = put<std::int32_t>(p, res_len);
            if (res != nullptr && res_len > 0) p = put_bytes(p, res, static_cast<std::size_t>(res_len));
        } else if (out == QVS_OUT_TEXT) {
            p = text != nullptr ? put_text(put<std::uint8_t>(p, QVS_ARG_TEXT), text, text_len)
                                : put<std::uint8_t>(p, QVS_ARG_NULL);
        }
        return p;
    }
    const Result& generic() const { return *this; }
};

// The two results most calls have, laid out without looking at tags.
struct StatusResult {
    long long status;
    static constexpr std::size_t size() { return 1 + 8 + 1; }
    [[gnu::always_inline]] char* write(char* p) const {
        p = put<std::int64_t>(put<std::uint8_t>(p, QVS_RESULT_INT), status);
        return put<std::uint8_t>(p, QVS_OUT_NONE);
    }
    Result generic() const {
        Result r;
        r.tag = QVS_RESULT_INT;
        r.i = status;
        return r;
    }
};

// A status and, on success, the response read through void** and int*.
struct ResponseResult {
    long long status;
    bool read;
    const void* res;
    int res_len;
    bool with_bytes() const { return res != nullptr && res_len > 0; }
    [[gnu::always_inline]] std::size_t size() const {
        return 1 + 8 + 1 + (read ? 1 + 4 + (with_bytes() ? static_cast<std::size_t>(res_len) : 0) : 0);
    }
    [[gnu::always_inline]] char* write(char* p) const {
        p = put<std::int64_t>(put<std::uint8_t>(p, QVS_RESULT_INT), status);
        if (!read) return put<std::uint8_t>(p, QVS_OUT_NONE);
        p = put<std::uint8_t>(put<std::uint8_t>(p, QVS_OUT_RESPONSE), res == nullptr ? 1 : 0);
        p = put<std::int32_t>(p, res_len);
        return with_bytes() ? put_bytes(p, res, static_cast<std::size_t>(res_len)) : p;
    }
    Result generic() const {
        Result r;
        r.tag = QVS_RESULT_INT;
        r.i = status;
        if (read) {
            r.out = QVS_OUT_RESPONSE;
            r.res = res;
            r.res_len = res_len;
        }
        return r;
    }
};

inline Result result_void() { return {}; }
[[gnu::always_inline]] inline StatusResult result_int(long long v) { return StatusResult{v}; }
inline Result result_double(double v) {
    Result r;
    r.tag = QVS_RESULT_DOUBLE;
    r.d = v;
    return r;
}
inline Result result_text(const char* v, bool secret) {
    Result r;
    r.tag = v == nullptr ? QVS_RESULT_NULL : secret ? QVS_RESULT_REDACTED : QVS_RESULT_TEXT;
    r.text = v;
    r.text_len = v != nullptr ? __builtin_strlen(v) : 0;
    return r;
}
// The response pair is read only on success, as callers read it.
[[gnu::always_inline]] inline ResponseResult result_response(int status, void* const* res,
                                                             const int* res_len) {
    bool read = status == 0 && res != nullptr && res_len != nullptr;
    return ResponseResult{status, read, read ? *res : nullptr, read ? *res_len : 0};
}
inline Result result_out_text(int status, char* const* out) {
    Result r = result_int(status).generic();
    if (status == 0 && out != nullptr) {
        r.out = QVS_OUT_TEXT;
        r.text = *out;
        r.text_len = r.text != nullptr ? __builtin_strlen(r.text) : 0;
    }
    return r;
}

} // namespace qvrec
