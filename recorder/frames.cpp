// Calls and events in progress, and the frames that record them.
//
// Each thread keeps a stack of what it is inside (qvi_run, an event's
// callback, a call made from that callback). A call or event is written as
// one frame when it ends; if something inside it is written first, its OPEN
// frame goes before that (outermost first) and a CLOSE frame ends it. So the
// file lists everything in the order it began, and a frame is written only
// once its contents are known.
#include <cstdio>
#include <cstring>

#include "recorder.hpp"
#include "session_file.hpp"

namespace qvrec {

namespace {

thread_local Item* tl_top [[gnu::tls_model("initial-exec")]] = nullptr;

// ---- encoding -------------------------------------------------------------------

// Frame bodies are encoded twice: once to measure them (Measure), once into
// the buffer (Write); both are plain inline code for the compiler.
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
    explicit Write(char* p) : start_(p), p_(p) {}
    std::size_t size() const { return static_cast<std::size_t>(p_ - start_); }
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
    char* start_;
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

template <class Out>
void fixed(Out& o, std::uint8_t kind, const Item& it, long long duration) {
    o.template put<std::uint8_t>(kind);
    o.template put<std::uint8_t>(0);
    o.template put<std::uint16_t>(static_cast<std::uint16_t>(it.fn));
    o.template put<std::uint32_t>(thread_id());
    o.template put<std::int64_t>(it.start_ns);
    o.template put<std::int64_t>(duration);
}

template <class Out>
void args(Out& o, const Item& it) {
    o.template put<std::uint8_t>(static_cast<std::uint8_t>(it.nargs));
    for (int i = 0; i < it.nargs; ++i) {
        const Arg& a = it.args[i];
        o.template put<std::uint8_t>(a.tag);
        switch (a.tag) {
        case QVS_ARG_INT: o.template put<std::int64_t>(a.i); break;
        case QVS_ARG_DOUBLE: o.template put<double>(a.d); break;
        case QVS_ARG_BOOL: o.template put<std::uint8_t>(static_cast<std::uint8_t>(a.i)); break;
        case QVS_ARG_TEXT: {
            const char* s = static_cast<const char*>(a.p);
            text(o, s, std::strlen(s));
            break;
        }
        case QVS_ARG_REDACTED: redacted(o, static_cast<const char*>(a.p)); break;
        case QVS_ARG_BUFFER: {
            bool readable = a.p != nullptr && a.len >= 0;
            o.template put<std::int32_t>(a.len);
            o.template put<std::uint8_t>(readable ? 1 : 0);
            if (readable) o.bytes(a.p, static_cast<std::size_t>(a.len));
            break;
        }
        case QVS_ARG_OUT:
        case QVS_ARG_FN: o.template put<std::uint8_t>(a.p != nullptr ? 1 : 0); break;
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
    case QVS_RESULT_TEXT: text(o, r.text, std::strlen(r.text)); break;
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
            text(o, r.text, std::strlen(r.text));
        }
    }
}

template <class Out>
void event(Out& o, const Item& it) {
    const char* msg = it.msg != nullptr ? it.msg : "";
    text(o, msg, std::strlen(msg));
    o.template put<std::int32_t>(it.data_len);
    o.template put<std::uint8_t>(it.data == nullptr ? 1 : 0);
    if (it.data != nullptr && it.data_len > 0) o.bytes(it.data, static_cast<std::size_t>(it.data_len));
}

// What one frame body is made of.
struct Body {
    std::uint8_t kind;
    const Item* item;
    const Result* result; // CALL and CALL_CLOSE
    long long duration;
};

template <class Out>
void body(Out& o, const Body& b) {
    fixed(o, b.kind, *b.item, b.duration);
    switch (b.kind) {
    case QVS_CALL: // the result first: a reader after latencies and statuses skips the rest
        result(o, *b.result);
        args(o, *b.item);
        break;
    case QVS_CALL_OPEN: args(o, *b.item); break;
    case QVS_CALL_CLOSE: result(o, *b.result); break;
    case QVS_EVENT:
    case QVS_EVENT_OPEN: event(o, *b.item); break;
    default: break;
    }
}

std::size_t write_body(char* out, const void* ctx) {
    const Body& b = *static_cast<const Body*>(ctx);
    if (out == nullptr) {
        Measure m;
        body(m, b);
        return m.size();
    }
    Write w(out);
    body(w, b);
    return w.size();
}

void append(std::uint8_t kind, const Item& it, const Result* r, long long duration, long long now) {
    Body b{kind, &it, r, duration};
    PendingBody pending{write_body, &b};
    append_frames(&pending, 1, now);
}

// The OPEN frames of the enclosing items that have none yet, outermost first.
void open_enclosing(Item* p, long long now) {
    if (p == nullptr || p->opened) return;
    open_enclosing(p->parent, now);
    p->opened = true;
    append(p->is_event ? QVS_EVENT_OPEN : QVS_CALL_OPEN, *p, nullptr, -1, now);
}

void finish_item(Item& it, const Result* r) {
    long long end = now_ns();
    open_enclosing(it.parent, end);
    std::uint8_t kind =
        it.is_event ? (it.opened ? QVS_EVENT_CLOSE : QVS_EVENT) : (it.opened ? QVS_CALL_CLOSE : QVS_CALL);
    append(kind, it, r, end - it.start_ns, end);
}

// ---- events ---------------------------------------------------------------------

constinit std::atomic<EventCallback> g_module_callback{nullptr};

void trampoline(const char* msg_type, void* data, int data_len) {
    EventCallback cb = g_module_callback.load(std::memory_order_acquire);
    if (!on()) {
        if (cb != nullptr) cb(msg_type, data, data_len);
        return;
    }
    Item it{tl_top, true};
    it.start_ns = now_ns();
    it.msg = msg_type;
    it.data = data;
    it.data_len = data_len;
    tl_top = &it;
    if (cb != nullptr) cb(msg_type, data, data_len);
    tl_top = it.parent;
    if (on()) finish_item(it, nullptr);
}

} // namespace

Call::Call(int fn, const Arg* args, int nargs) noexcept : item_{tl_top, false} {
    item_.fn = fn;
    item_.args = args;
    item_.nargs = nargs;
    tl_top = &item_;
    item_.start_ns = now_ns();
}

Call::~Call() { tl_top = item_.parent; }

void Call::finish(const Result& r) noexcept {
    tl_top = item_.parent;
    if (on()) finish_item(item_, &r);
}

EventCallback wrap_callback(EventCallback module_callback) noexcept {
    if (module_callback == nullptr) return nullptr;
    g_module_callback.store(module_callback, std::memory_order_release);
    return &trampoline;
}

} // namespace qvrec
