// What makes the test core a vendor's: it calls its own exported functions
// inside qvi_run and inside other calls, and a thread of its own calls them
// while the session runs. Each of these calls goes through the core's
// exports (default visibility, no symbolic binding).
#include <atomic>
#include <thread>

#include "vendor_core.h"

namespace {

std::atomic<bool> g_running{false};
std::atomic<long> g_own_calls{0};

void housekeeping() {
    while (g_running.load()) {
        qvi_now();
        qvi_get_c_version();
        g_own_calls.fetch_add(1);
        std::this_thread::yield();
    }
}

} // namespace

extern "C" int qvi_run(void) {
    static auto next = vendor::inner<int (*)(void)>("qvi_run");
    qvi_now();
    g_running.store(true);
    std::thread worker(housekeeping);
    // Let the thread make some calls before the events flow.
    while (g_own_calls.load() < 50) std::this_thread::yield();
    int r = next();
    g_running.store(false);
    worker.join();
    qvi_now_plus();
    return r;
}

extern "C" int qvi_history_ticks_pb(void* req, int req_len, void** res, int* res_len) {
    static auto next = vendor::inner<int (*)(void*, int, void**, int*)>("qvi_history_ticks_pb");
    qvi_get_c_version();
    qvi_get_parameters_pb(req, req_len, res, res_len); // answered, then overwritten below
    return next(req, req_len, res, res_len);
}

extern "C" int qvi_get_orders_pb(void* req, int req_len, void** res, int* res_len) {
    static auto next = vendor::inner<int (*)(void*, int, void**, int*)>("qvi_get_orders_pb");
    // Calls of its own from a thread of its own, inside a call.
    std::thread([] { qvi_now(); }).join();
    return next(req, req_len, res, res_len);
}
