// Core functions exposed under their own C names. Each is a callable named
// `wrap` whose docstring states its C signature; unlike the py_qvi_ twins
// they never pass through the adapter, and they check for an exception left
// pending by the core call.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

// One docstring per C signature.
constexpr const char* text_getter = "wrap() -> 'const char *'";
constexpr const char* int_getter = "wrap() -> 'int'";

constexpr DirectCallable rows[] = {
    {"qvi_add_bus_topic", direct<qvi_add_bus_topic, "topic">, "wrap(topic: 'const char *') -> 'void'"},
    {"qvi_get_c_version", direct<qvi_get_c_version>, text_getter},
    {"qvi_get_encrypted_token", direct<qvi_get_encrypted_token>, text_getter},
    {"qvi_get_ext_errormsg", direct<qvi_get_ext_errormsg>, text_getter},
    {"qvi_get_orgcode", direct<qvi_get_orgcode>, text_getter},
    {"qvi_init", direct<qvi_init>, int_getter},
    {"qvi_now", direct<qvi_now>, "wrap() -> 'long long'"},
    {"qvi_now_plus", direct<qvi_now_plus>, "wrap() -> float"},
    {"qvi_poll", direct<qvi_poll>, int_getter},
    {"qvi_send_msg_to_bus", direct<qvi_send_msg_to_bus, "topic", "msg">,
     "wrap(topic: 'const char *', msg: 'const char *') -> 'int'"},
    {"qvi_set_bus_info", direct<qvi_set_bus_info, "server_addr", "user_name", "password">,
     "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *') -> 'void'"},
    {"qvi_set_bus_secure", direct<qvi_set_bus_secure, "in_mode", "tlsca", "tlscert", "tlskey", "skip_verify">,
     "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', tlskey: 'const char *', "
     "skip_verify: 'bool') -> 'void'"},
    {"qvi_set_mode", direct<qvi_set_mode, "mode">, "wrap(mode: 'int') -> 'void'"},
    {"qvi_strerror", direct<qvi_strerror, "errorno">, "wrap(errorno: 'int') -> 'const char *'"},
};

} // namespace

constinit const std::span<const DirectCallable> direct_callables{rows};

} // namespace c_sdk
