// Instrument pools.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_get_instrument_pool_by_name_pb", plain, request_response<qvi_get_instrument_pool_by_name_pb>},
    {"py_qvi_get_instrument_pools_pb", plain, request_response<qvi_get_instrument_pools_pb>},
    {"py_qvi_set_instrument_pool_symbols_pb", plain, command<qvi_set_instrument_pool_symbols_pb>},
    {"py_qvi_del_instrument_pool_by_name_pb", plain, command<qvi_del_instrument_pool_by_name_pb>},
};

} // namespace

constinit const Family family::pools{rows};

} // namespace c_sdk
