// Descriptions for the divergence report, in the notation of
// `python -m qvcore_session show`.
#include "replay_text.h"

#include <cstdio>

#include "session_format.h"

namespace standin {

namespace {

std::string number(long long v) { return std::to_string(v); }

std::string real_text(double d) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", d);
    return b;
}

std::string describe_arg(const Arg& a) {
    std::string out;
    switch (a.kind) {
    case Arg::Kind::Int: return number(a.num);
    case Arg::Kind::Bool: return a.num ? "True" : "False";
    case Arg::Kind::Double: return real_text(a.dbl);
    case Arg::Kind::Text:
        if (!a.has_bytes) return "None";
        quote(out, a.bytes.data(), a.bytes.size());
        return out;
    case Arg::Kind::Buffer:
        if (!a.has_bytes) return "(" + number(a.num) + " B, unreadable)";
        quote(out, a.bytes.data(), a.bytes.size());
        return out + " (" + number(a.num) + " B)";
    case Arg::Kind::Out: return a.addr != 0 ? "out" : "None";
    case Arg::Kind::Fn: return a.addr != 0 ? "fn" : "None";
    }
    return "?";
}

std::string describe_rec(const RecArg& a) {
    std::string out;
    switch (a.tag) {
    case QVS_ARG_INT: return number(a.i);
    case QVS_ARG_BOOL: return a.i ? "True" : "False";
    case QVS_ARG_DOUBLE: return real_text(a.d);
    case QVS_ARG_TEXT: quote(out, a.bytes, static_cast<std::size_t>(a.len)); return out;
    case QVS_ARG_NULL: return "None";
    case QVS_ARG_REDACTED: return std::string(a.bytes, static_cast<std::size_t>(a.len));
    case QVS_ARG_BUFFER:
        if (!a.has_bytes) return "(" + number(a.len) + " B, unreadable)";
        quote(out, a.bytes, static_cast<std::size_t>(a.len));
        return out + " (" + number(a.len) + " B)";
    case QVS_ARG_OUT: return a.has_bytes ? "out" : "None";
    case QVS_ARG_FN: return a.has_bytes ? "fn" : "None";
    default: return "?";
    }
}

std::string describe_recorded_call(const SessionFile& file, const View& v) {
    Reader r = v.reader();
    if (v.kind == QVS_CALL) read_recorded(r);
    std::vector<RecArg> args;
    read_args(r, args);
    std::string out = file.function_name(v.fn);
    out += '(';
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i != 0) out += ", ";
        out += describe_rec(args[i]);
    }
    return out + ')';
}

std::string describe_lost(const View& v) {
    RecLost l = read_lost(v);
    return "a gap where thread " + number(v.thread) + " lost " + number(static_cast<long long>(l.frames)) +
           " frames (" + number(static_cast<long long>(l.bytes)) + " B) to a full buffer";
}

}  // namespace

void quote(std::string& out, const char* p, std::size_t n) {
    constexpr std::size_t kShown = 48;
    if (p == nullptr) n = 0;  // never for a frame that passed its check; cheap to be sure
    out += "b'";
    for (std::size_t i = 0; i < n && i < kShown; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    out += n > kShown ? "...'" : "'";
}

std::string describe_call(const char* name, const std::vector<Arg>& args) {
    std::string out = name;
    out += '(';
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i != 0) out += ", ";
        out += describe_arg(args[i]);
    }
    return out + ')';
}

std::string describe_message(const RecEvent& e) {
    if (e.msg == nullptr) return "None";
    std::string out;
    quote(out, e.msg, e.msg_len);
    return out;
}

std::string describe_frame(const SessionFile& file, const View& v) {
    if (!v.valid) {
        return file.torn() ? "the end of the recording (its last frame is torn)" : "the end of the recording";
    }
    if (v.malformed) return "a malformed frame (" + file.malformation() + ")";
    switch (v.kind) {
    case QVS_CALL:
    case QVS_CALL_OPEN: return describe_recorded_call(file, v);
    case QVS_CALL_CLOSE: return std::string("the return from ") + file.function_name(v.fn);
    case QVS_EVENT:
    case QVS_EVENT_OPEN: return "the event " + describe_message(read_event(v));
    case QVS_EVENT_CLOSE: return "the return from the event callback";
    case QVS_LOST: return describe_lost(v);
    default: return "a frame of unknown kind " + number(v.kind);
    }
}

}  // namespace standin
