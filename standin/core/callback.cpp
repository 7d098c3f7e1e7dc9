// The registered event callback: qvi_set_event_callback_pb stores it, and
// standin_reset() keeps it, since a module registers it once, when loaded.
#include "callback.h"

#include <atomic>
#include <cstdint>

namespace standin {

namespace {

constinit std::atomic<EventCallback> g_callback{nullptr};

}  // namespace

EventCallback registered_callback() { return g_callback.load(); }

void register_callback(EventCallback cb) { g_callback.store(cb); }

}  // namespace standin

extern "C" unsigned long long standin_callback_address(void) {
    return reinterpret_cast<std::uintptr_t>(standin::registered_callback());
}
