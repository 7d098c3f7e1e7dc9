// The layout of a frame body (session_format.h), written in one pass
// straight into the ring: Measure gives the size to reserve, Write fills it.
// Both are plain inline code for the compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "recorder.hpp"

namespace qvrec {

class Measure {
public:
    std::size_t size() const { return n_; }
    template <class T>
    void put(T) {
        n_ += sizeof(T);
    }
    void bytes(const void*, std::size_t len) { n_ += len; }

private:
    std::size_t n_ = 0;
};

class Write {
public:
    explicit Write(char* p) : p_(p) {}
    template <class T>
    void put(T v) {
        std::memcpy(p_, &v, sizeof v);
        p_ += sizeof v;
    }
    void bytes(const void* src, std::size_t len) {
        if (len > 0) std::memcpy(p_, src, len);
        p_ += len;
    }

private:
    char* p_;
};

// len:u32 bytes NUL
template <class Out>
void text(Out& o, const char* s, std::size_t len) {
    o.template put<std::uint32_t>(static_cast<std::uint32_t>(len));
    o.bytes(s, len);
    o.template put<std::uint8_t>(0);
}

// original_len:u32 len:u32 "<redacted: N bytes>" NUL
template <class Out>
void redacted(Out& o, const char* s) {
    std::size_t n = std::strlen(s);
    char shown[48];
    int len = std::snprintf(shown, sizeof shown, "<redacted: %zu bytes>", n);
    o.template put<std::uint32_t>(static_cast<std::uint32_t>(n));
    text(o, shown, static_cast<std::size_t>(len));
}

struct Fixed {
    std::uint8_t kind;
    std::uint8_t flags;
    std::uint16_t fn;
    std::uint32_t thread;
    std::int64_t start_ns;
    std::int64_t duration_ns;
};

template <class Out>
void fixed(Out& o, const Fixed& f) {
    o.template put<std::uint8_t>(f.kind);
    o.template put<std::uint8_t>(f.flags);
    o.template put<std::uint16_t>(f.fn);
    o.template put<std::uint32_t>(f.thread);
    o.template put<std::int64_t>(f.start_ns);
    o.template put<std::int64_t>(f.duration_ns);
}

template <class Out>
void args(Out& o, const Arg* a, int count) {
    o.template put<std::uint8_t>(static_cast<std::uint8_t>(count));
    for (const Arg* end = a + count; a != end; ++a) {
        o.template put<std::uint8_t>(a->tag);
        switch (a->tag) {
        case QVS_ARG_INT: o.template put<std::int64_t>(a->i); break;
        case QVS_ARG_DOUBLE: o.template put<double>(a->d); break;
        case QVS_ARG_BOOL: o.template put<std::uint8_t>(static_cast<std::uint8_t>(a->i)); break;
        case QVS_ARG_TEXT: text(o, static_cast<const char*>(a->p), a->text_len()); break;
        case QVS_ARG_REDACTED: redacted(o, static_cast<const char*>(a->p)); break;
        case QVS_ARG_BUFFER: {
            bool readable = a->p != nullptr && a->len >= 0;
            o.template put<std::int32_t>(a->len);
            o.template put<std::uint8_t>(readable ? 1 : 0);
            if (readable) o.bytes(a->p, static_cast<std::size_t>(a->len));
            break;
        }
        case QVS_ARG_OUT:
        case QVS_ARG_FN: o.template put<std::uint8_t>(a->p != nullptr ? 1 : 0); break;
        default: break; // QVS_ARG_NULL: the tag says it all
        }
    }
}

template <class Out>
void result(Out& o, const Result& r) {
    o.template put<std::uint8_t>(r.tag);
    switch (r.tag) {
    case QVS_RESULT_INT: o.template put<std::int64_t>(r.i); break;
    case QVS_RESULT_DOUBLE: o.template put<double>(r.d); break;
    case QVS_RESULT_TEXT: text(o, r.text, r.text_len()); break;
    case QVS_RESULT_REDACTED: redacted(o, r.text); break;
    default: break;
    }
    o.template put<std::uint8_t>(r.out);
    if (r.out == QVS_OUT_RESPONSE) {
        bool with_bytes = r.res != nullptr && r.res_len > 0;
        o.template put<std::uint8_t>(r.res == nullptr ? 1 : 0);
        o.template put<std::int32_t>(r.res_len);
        if (with_bytes) o.bytes(r.res, static_cast<std::size_t>(r.res_len));
    } else if (r.out == QVS_OUT_TEXT) {
        if (r.text == nullptr) {
            o.template put<std::uint8_t>(QVS_ARG_NULL);
        } else {
            o.template put<std::uint8_t>(QVS_ARG_TEXT);
            text(o, r.text, r.text_len());
        }
    }
}

// A null message type is flagged in the fixed part and written as empty.
template <class Out>
void event(Out& o, const char* msg, std::size_t msg_len, const void* data, int data_len) {
    text(o, msg != nullptr ? msg : "", msg_len);
    o.template put<std::int32_t>(data_len);
    o.template put<std::uint8_t>(data == nullptr ? 1 : 0);
    if (data != nullptr && data_len > 0) o.bytes(data, static_cast<std::size_t>(data_len));
}

// frames:u64 bytes:u64 depth:u32
constexpr std::size_t kLostBodySize = QVS_BODY_FIXED + 8 + 8 + 4;

inline void lost_body(char* out, std::uint32_t thread, std::int64_t first_ns, std::int64_t last_ns,
                      std::uint64_t frames, std::uint64_t bytes, std::uint32_t depth) {
    Write w(out);
    fixed(w, Fixed{QVS_LOST, 0, 0, thread, first_ns, last_ns - first_ns});
    w.put<std::uint64_t>(frames);
    w.put<std::uint64_t>(bytes);
    w.put<std::uint32_t>(depth);
}

} // namespace qvrec
