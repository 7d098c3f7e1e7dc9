// The event queue and the run loop: qvi_set_event_callback_pb, qvi_run,
// qvi_stop, qvi_poll, and the control functions that feed them. While a
// replay is on, the recording gives the events and the queue is ignored.
#include "events.h"

#include <deque>
#include <limits>
#include <optional>
#include <thread>

#include "asking.h"
#include "callback.h"
#include "core_functions.h"
#include "replay.h"

namespace standin {

namespace {

// Like response lengths: data_len larger than the payload is backed by zero
// padding up to this size, so a callback copying data_len bytes stays inside.
constexpr int kMaxPadding = 16 << 20;

struct Event {
    std::string msg;      // c_str() gives the NUL-terminated message type
    bool null_msg;        // deliver a null msg_type instead
    std::string payload;  // zero-padded up to data_len
    int data_len;
    bool null_data;
};

constinit std::atomic<bool> g_stop{false};

std::deque<Event>& queue() {
    static auto* q = new std::deque<Event>;  // never destroyed, like state_mutex()
    return *q;
}

std::optional<Event> pop() {
    std::lock_guard lock(state_mutex());
    if (queue().empty()) return std::nullopt;
    Event ev = std::move(queue().front());
    queue().pop_front();
    return ev;
}

std::size_t queued() {
    std::lock_guard lock(state_mutex());
    return queue().size();
}

// Delivers up to `limit` events, one at a time and without holding the lock,
// since the callback calls back into the library and may queue more events
// or call qvi_stop(). With no callback registered, events are dropped.
int deliver(std::size_t limit, bool honour_stop) {
    int delivered = 0;
    for (std::size_t i = 0; i < limit; ++i) {
        if (honour_stop && g_stop.load()) break;
        std::optional<Event> ev = pop();
        if (!ev) break;
        EventCallback cb = registered_callback();
        if (cb == nullptr) continue;
        cb(ev->null_msg ? nullptr : ev->msg.c_str(), ev->null_data ? nullptr : ev->payload.data(),
           ev->data_len);
        ++delivered;
    }
    return delivered;
}

}  // namespace

void clear_events() {
    g_stop.store(false);
    std::lock_guard lock(state_mutex());
    queue().clear();
}

}  // namespace standin

using namespace standin;

extern "C" void qvi_set_event_callback_pb(EventCallback cb) {
    log_qvi_set_event_callback_pb(cb);
    register_callback(cb);
    if (replaying()) replay_call(st_qvi_set_event_callback_pb, FnArg{cb});
}

// Runs until the queue is empty, or until the callback that called
// qvi_stop() returns. Events queued by callbacks are delivered too.
extern "C" int qvi_run(void) {
    log_qvi_run();
    if (replaying()) return replay_call(st_qvi_run).status();
    if (refused()) return STANDIN_REFUSED;
    g_stop.store(false);
    deliver(std::numeric_limits<std::size_t>::max(), true);
    return status_of(st_qvi_run);
}

extern "C" int qvi_stop(void) {
    log_qvi_stop();
    if (replaying()) return replay_call(st_qvi_stop).status();
    if (refused()) return STANDIN_REFUSED;
    g_stop.store(true);
    return status_of(st_qvi_stop);
}

// Delivers the events queued when it is called; those the callbacks queue
// wait for the next poll, so a callback that re-queues cannot loop forever.
extern "C" int qvi_poll(void) {
    log_qvi_poll();
    if (replaying()) return replay_call(st_qvi_poll).status();
    if (refused()) return STANDIN_REFUSED;
    deliver(queued(), false);
    return status_of(st_qvi_poll);
}

extern "C" int standin_queue_event(const void* msg_type, int msg_len, const void* payload, int payload_len,
                                   int data_len, int null_data) {
    bool null_msg = msg_type == nullptr && msg_len == STANDIN_NULL_MSG_TYPE;
    if ((msg_len < 0 && !null_msg) || payload_len < 0 || (msg_type == nullptr && msg_len > 0) ||
        (payload == nullptr && payload_len > 0)) {
        return STANDIN_BAD_ARGUMENT;
    }
    if (replaying()) return STANDIN_OK;  // ignored: the recording gives the events
    Event ev;
    ev.null_msg = null_msg;
    if (msg_len > 0) ev.msg.assign(static_cast<const char*>(msg_type), static_cast<std::size_t>(msg_len));
    if (payload_len > 0)
        ev.payload.assign(static_cast<const char*>(payload), static_cast<std::size_t>(payload_len));
    if (data_len > payload_len && data_len <= kMaxPadding)
        ev.payload.resize(static_cast<std::size_t>(data_len), '\0');
    ev.data_len = data_len;
    ev.null_data = null_data != 0;
    std::lock_guard lock(state_mutex());
    queue().push_back(std::move(ev));
    return STANDIN_OK;
}

extern "C" int standin_queued(void) { return static_cast<int>(queued()); }

// For modules whose callback must take the interpreter lock: the events
// arrive on a thread the interpreter has never seen. Under a replay the
// recording gives the events: nothing is delivered.
extern "C" int standin_deliver_from_thread(void) {
    if (replaying()) return 0;
    int delivered = 0;
    std::thread worker([&delivered] { delivered = deliver(queued(), false); });
    worker.join();
    return delivered;
}
