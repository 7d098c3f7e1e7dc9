// Timers and schedules.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

constexpr Wrapper rows[] = {
    {"py_qvi_schedule", w, scalar<qvi_schedule, "date_rule", "time_rule">},
    {"py_qvi_set_timer", plain, scalar<qvi_set_timer, "interval">},
    {"py_qvi_user_timer", w, scalar<qvi_user_timer, "period", "start_delay">},
    {"py_qvi_user_timer_stop", w, scalar<qvi_user_timer_stop, "timer_id">},
};

} // namespace

constinit const Family family::timers{rows};

} // namespace c_sdk
