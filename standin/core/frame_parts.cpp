// Decoding the parts of a frame's body, and checking a whole body once when
// the reader first reaches its frame.
#include "frame_parts.h"

#include "session_format.h"

namespace standin {

namespace {

// The event part: msg_len:u32 msg NUL data_len:i32 data_null:u8 [data].
RecEvent event_at(Reader& r, std::uint8_t flags) {
    RecEvent e;
    e.msg = r.text(e.msg_len);
    e.data_len = r.get<std::int32_t>();
    bool null_data = r.get<std::uint8_t>() != 0;
    // The callback is told data_len: that many bytes must be there.
    if (null_data) {
        e.data = nullptr;
    } else if (e.data_len > 0) {
        e.data = r.take(static_cast<std::size_t>(e.data_len), "event data");
    } else {
        e.data = r.pos();
    }
    e.ok = r.ok();
    if ((flags & QVS_FLAG_MSG_NULL) != 0) e.msg = nullptr;
    return e;
}

// An argument's value after its tag; false (with r failed) for a tag the
// format does not have.
bool arg_value(Reader& r, RecArg& a) {
    std::uint32_t len = 0;
    switch (a.tag) {
    case QVS_ARG_INT: a.i = r.get<std::int64_t>(); return true;
    case QVS_ARG_DOUBLE: a.d = r.get<double>(); return true;
    case QVS_ARG_BOOL: a.i = r.get<std::uint8_t>(); return true;
    case QVS_ARG_NULL: return true;
    case QVS_ARG_REDACTED: a.original = r.get<std::uint32_t>(); [[fallthrough]];
    case QVS_ARG_TEXT:
        a.bytes = r.text(len);
        a.len = len;
        return true;
    case QVS_ARG_BUFFER:
        a.len = r.get<std::int32_t>();
        a.has_bytes = r.get<std::uint8_t>() != 0;
        // The recorder marks a request readable only when its length is not
        // negative; an unreadable one may have any length.
        if (a.has_bytes && a.len < 0) {
            r.fail("a readable request of " + std::to_string(a.len) + " bytes");
        } else if (a.has_bytes) {
            a.bytes = r.take(static_cast<std::size_t>(a.len), "a request");
        }
        return true;
    case QVS_ARG_OUT:
    case QVS_ARG_FN: a.has_bytes = r.get<std::uint8_t>() != 0; return true;
    default: r.fail("the unknown tag " + std::to_string(a.tag)); return false;
    }
}

}  // namespace

bool read_args(Reader& r, std::vector<RecArg>& out) {
    if (!r.ok()) return false;  // the part before them was malformed
    int n = r.get<std::uint8_t>();
    if (!r.ok()) r.locate("the argument count: ");
    for (int k = 0; k < n && r.ok(); ++k) {
        RecArg a;
        a.tag = r.get<std::uint8_t>();
        if (r.ok()) arg_value(r, a);
        if (!r.ok()) {
            r.locate("argument " + std::to_string(k + 1) + " of " + std::to_string(n) + ": ");
            break;
        }
        out.push_back(a);
    }
    return r.ok();
}

Recorded read_recorded(Reader& r) {
    Recorded a;
    if (!r.ok()) return a;
    std::uint8_t tag = r.get<std::uint8_t>();
    std::uint32_t len = 0;
    switch (tag) {
    case QVS_RESULT_VOID:
    case QVS_RESULT_NULL: break;
    case QVS_RESULT_INT: a.value = r.get<std::int64_t>(); break;
    case QVS_RESULT_DOUBLE: a.dbl = r.get<double>(); break;
    case QVS_RESULT_TEXT: a.text = r.text(len); break;
    case QVS_RESULT_REDACTED:
        r.get<std::uint32_t>();
        a.text = r.text(len);
        break;
    default: r.fail("the unknown tag " + std::to_string(tag)); break;
    }
    if (!r.ok()) {
        r.locate("the result: ");
        return a;
    }
    std::uint8_t out = r.get<std::uint8_t>();
    switch (out) {
    case QVS_OUT_NONE: break;
    case QVS_OUT_RESPONSE:
        a.has_response = true;
        a.res_null = r.get<std::uint8_t>() != 0;
        a.res_len = r.get<std::int32_t>();
        // The caller reads res_len bytes at res when res is not null.
        if (a.res_null) {
            a.res = nullptr;
        } else if (a.res_len > 0) {
            a.res = r.take(static_cast<std::size_t>(a.res_len), "a response");
        } else {
            a.res = "";
        }
        break;
    case QVS_OUT_TEXT:
        a.has_out_text = true;
        switch (std::uint8_t text_tag = r.get<std::uint8_t>()) {
        case QVS_ARG_TEXT: a.text = r.text(len); break;
        case QVS_ARG_NULL: break;
        default:
            if (r.ok()) r.fail("a written text with the tag " + std::to_string(text_tag));
            break;
        }
        break;
    default: r.fail("the unknown tag " + std::to_string(out)); break;
    }
    if (!r.ok()) r.locate("the output: ");
    return a;
}

RecEvent read_event(const View& v) {
    Reader r = v.reader();
    return event_at(r, v.flags);
}

RecLost read_lost(const View& v) {
    Reader r = v.reader();
    RecLost l;
    l.frames = r.get<std::uint64_t>();
    l.bytes = r.get<std::uint64_t>();
    l.depth = r.get<std::uint32_t>();
    return l;
}

std::string check_frame(const View& v, std::size_t functions, std::vector<RecArg>& scratch) {
    Reader r = v.reader();
    bool call = v.kind == QVS_CALL || v.kind == QVS_CALL_OPEN || v.kind == QVS_CALL_CLOSE;
    if (call && static_cast<std::size_t>(v.fn) >= functions) {
        return "function index " + std::to_string(v.fn) + ", but the header names " +
               std::to_string(functions);
    }
    switch (v.kind) {
    case QVS_CALL:
    case QVS_CALL_CLOSE:
        read_recorded(r);
        if (v.kind == QVS_CALL_CLOSE) break;
        [[fallthrough]];
    case QVS_CALL_OPEN:
        scratch.clear();
        read_args(r, scratch);
        break;
    case QVS_EVENT:
    case QVS_EVENT_OPEN:
        event_at(r, v.flags);
        if (!r.ok()) r.locate("the event: ");
        break;
    case QVS_LOST: r.take(sizeof(std::uint64_t) * 2 + sizeof(std::uint32_t), "a gap record"); break;
    default: break;  // an event close has nothing; an unknown kind is reported as such
    }
    return r.ok() ? std::string() : r.why();
}

}  // namespace standin
