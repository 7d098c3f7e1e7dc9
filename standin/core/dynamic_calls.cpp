// Core functions whose defaults depend on their arguments or are not ints:
// clocks, error texts, server addresses and the stop error code.
#include "dynamic_calls.h"

#include "asking.h"
#include "core_functions.h"
#include "replay.h"

namespace standin {

namespace {

constexpr long long kDefaultNow = 1700000000000LL;  // milliseconds
constexpr double kDefaultNowPlus = 1700000000.5;    // seconds

constinit std::atomic<long long> g_now{kDefaultNow};
constinit std::atomic<double> g_now_plus{kDefaultNowPlus};

}  // namespace

void reset_clocks() {
    g_now.store(kDefaultNow);
    g_now_plus.store(kDefaultNowPlus);
}

}  // namespace standin

using namespace standin;

extern "C" long long qvi_now(void) {
    log_qvi_now();
    if (replaying()) return replay_call(st_qvi_now).integer();
    return g_now.load(std::memory_order_relaxed);
}

extern "C" double qvi_now_plus(void) {
    log_qvi_now_plus();
    if (replaying()) return replay_call(st_qvi_now_plus).real();
    return g_now_plus.load(std::memory_order_relaxed);
}

extern "C" int qvi_get_stop_error_code(void) {
    log_qvi_get_stop_error_code();
    if (replaying()) return replay_call(st_qvi_get_stop_error_code).status();
    if (refused()) return STANDIN_REFUSED;
    return status_of(st_qvi_get_stop_error_code);
}

// Per-call texts live in thread_local storage: valid until the same thread
// calls the same function again, like a real library's static buffer but
// safe across threads.
extern "C" const char* qvi_strerror(int errorno) {
    log_qvi_strerror(errorno);
    if (replaying()) return replay_call(st_qvi_strerror, errorno).returned_text();
    const Reply* r = reply_of(st_qvi_strerror);
    if (r != nullptr && !r->use_default) return r->data;
    thread_local std::string text;
    text = "stand-in error " + std::to_string(errorno);
    return text.c_str();
}

extern "C" int qvi_get_serv_addr(const char* serv_id, char** addr) {
    log_qvi_get_serv_addr(serv_id, addr);
    if (replaying())
        return replay_call(st_qvi_get_serv_addr, TextArg{serv_id}, OutArg{addr}).with_out_text(addr);
    if (refused()) return STANDIN_REFUSED;
    const Reply* r = reply_of(st_qvi_get_serv_addr);
    if (addr != nullptr && (r == nullptr || r->write)) {
        if (r == nullptr || r->use_default) {
            thread_local std::string text;
            text = "addr:";
            if (serv_id != nullptr) text += serv_id;
            *addr = text.data();
        } else {
            *addr = const_cast<char*>(r->data);
        }
    }
    return status_of(st_qvi_get_serv_addr);
}

extern "C" void standin_set_now(long long value) { g_now.store(value); }

extern "C" void standin_set_now_plus(double value) { g_now_plus.store(value); }

extern "C" void standin_set_stop_error_code(int code) { st_qvi_get_stop_error_code.status.store(code); }
