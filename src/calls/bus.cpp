// Message bus.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_set_bus_info", w, scalar<qvi_set_bus_info, "server_addr", "user_name", "password">},
    {"py_qvi_set_bus_secure", w,
     scalar<qvi_set_bus_secure, "in_mode", "tlsca", "tlscert", "tlskey", "skip_verify">},
    {"py_qvi_add_bus_topic", w, scalar<qvi_add_bus_topic, "topic">},
    {"py_qvi_send_msg_to_bus", w, scalar<qvi_send_msg_to_bus, "topic", "msg">},
};

} // namespace

constinit const Family family::bus{rows};

} // namespace c_sdk
