// Calls and events in progress, and the frames that record them.
//
// Each thread keeps a stack of what it is inside (qvi_run, an event's
// callback, a call made from that callback). A call or event is written as
// one frame when it ends; if something inside it is written first, its OPEN
// frame goes before that (outermost first) and a CLOSE frame ends it. So a
// thread's frames are in the order its calls and events began, and a frame
// is written only once its contents are known. "Written" means copied into
// the thread's ring; the writer process takes it from there.
#include <time.h>

#include "frame_encoding.hpp"
#include "recorder.hpp"
#include "thread_buffer.hpp"

namespace qvrec {

constinit thread_local Item* tl_top [[gnu::tls_model("initial-exec")]] = nullptr;

namespace {

// The size of a frame's body, and its bytes.
std::size_t body_size(std::uint8_t kind, const Item& it, const Result* r) {
    switch (kind) {
    case QVS_CALL: return QVS_BODY_FIXED + r->size() + it.size_args(it.args);
    case QVS_CALL_OPEN: return QVS_BODY_FIXED + it.size_args(it.args);
    case QVS_CALL_CLOSE: return QVS_BODY_FIXED + r->size();
    case QVS_EVENT:
    case QVS_EVENT_OPEN: return QVS_BODY_FIXED + event_size(it.msg_len, it.data, it.data_len);
    default: return QVS_BODY_FIXED;
    }
}

// A null message type is flagged in the fixed part; its text is written empty.
std::uint8_t flags_of(const Item& it) {
    return it.is_event && it.msg == nullptr ? std::uint8_t{QVS_FLAG_MSG_NULL} : std::uint8_t{0};
}

void write_body(char* p, std::uint8_t kind, const Item& it, const Result* r, long long duration) {
    p = put_fixed(
        p, Fixed{kind, flags_of(it), static_cast<std::uint16_t>(it.fn), thread_id(), it.start_ns, duration});
    switch (kind) {
    case QVS_CALL: // the result first: a reader after latencies and statuses skips the rest
        it.write_args(it.args, r->write(p));
        break;
    case QVS_CALL_OPEN: it.write_args(it.args, p); break;
    case QVS_CALL_CLOSE: r->write(p); break;
    case QVS_EVENT:
    case QVS_EVENT_OPEN: put_event(p, it.msg, it.msg_len, it.data, it.data_len); break;
    default: break;
    }
}

// The OPEN frames in the file still waiting for their CLOSE.
std::uint32_t open_depth() {
    std::uint32_t n = 0;
    for (const Item* p = tl_top; p != nullptr; p = p->parent) n += p->opened ? 1 : 0;
    return n;
}

// The gap this thread left, where it is in the thread's order. False when
// even that does not fit: then nothing may follow it yet.
[[gnu::cold]] bool report_lost(const Lost& l) {
    Reserved r;
    if (!reserve(kLostBodySize, r)) return false;
    lost_body(r.body, thread_id(), l.first_ns, l.last_ns, l.frames, l.bytes, open_depth());
    commit(r);
    lost_reported();
    return true;
}

// Copies one frame into the ring, or counts it as lost.
bool append(std::uint8_t kind, const Item& it, const Result* r, long long duration, long long now) {
    std::size_t size = body_size(kind, it, r);
    Reserved res;
    if (const Lost* l = lost_pending(); l != nullptr && !report_lost(*l)) [[unlikely]] {
        count_lost(size, now);
        return false;
    }
    if (!reserve(size, res)) [[unlikely]] {
        count_lost(size, now);
        return false;
    }
    write_body(res.body, kind, it, r, duration);
    commit(res);
    return true;
}

// The OPEN frames of the enclosing items that have none yet, outermost first.
void open_enclosing(Item* p, long long now) {
    if (p == nullptr || p->opened) return;
    open_enclosing(p->parent, now);
    p->opened = append(p->is_event ? QVS_EVENT_OPEN : QVS_CALL_OPEN, *p, nullptr, -1, now);
}

// ---- events ---------------------------------------------------------------------

constinit std::atomic<EventCallback> g_module_callback{nullptr};

// Whatever the core hands the module's entry point is an event, from any thread.
void trampoline(const char* msg_type, void* data, int data_len) {
    EventCallback cb = g_module_callback.load(std::memory_order_acquire);
    if (!recording()) {
        if (cb != nullptr) cb(msg_type, data, data_len);
        return;
    }
    Item it{tl_top, true};
    it.start_ns = now_ns();
    it.msg = msg_type;
    it.msg_len = msg_type != nullptr ? __builtin_strlen(msg_type) : 0;
    it.data = data;
    it.data_len = data_len;
    tl_top = &it;
    if (cb != nullptr) cb(msg_type, data, data_len);
    tl_top = it.parent;
    if (!single_frame(it)) [[unlikely]] {
        finish_item(it, nullptr);
        return;
    }
    copy_frame(QVS_BODY_FIXED + event_size(it.msg_len, it.data, it.data_len), QVS_EVENT, flags_of(it), 0,
               it.start_ns, [&](char* p) { put_event(p, it.msg, it.msg_len, it.data, it.data_len); });
}

} // namespace

void finish_item(Item& it, const Result* r) noexcept {
    long long end = now_ns();
    open_enclosing(it.parent, end);
    std::uint8_t kind =
        it.is_event ? (it.opened ? QVS_EVENT_CLOSE : QVS_EVENT) : (it.opened ? QVS_CALL_CLOSE : QVS_CALL);
    append(kind, it, r, end - it.start_ns, end);
}

EventCallback wrap_callback(EventCallback module_callback) noexcept {
    if (module_callback == nullptr) return nullptr;
    g_module_callback.store(module_callback, std::memory_order_release);
    return &trampoline;
}

} // namespace qvrec
