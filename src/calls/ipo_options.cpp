// IPO subscription and option strategies.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_get_ipo_quota_pb", w, request_response<qvi_get_ipo_quota_pb>},
    {"py_qvi_get_ipo_instruments_pb", w, request_response<qvi_get_ipo_instruments_pb>},
    {"py_qvi_get_ipo_match_number_pb", w, request_response<qvi_get_ipo_match_number_pb>},
    {"py_qvi_get_ipo_lot_info_pb", w, request_response<qvi_get_ipo_lot_info_pb>},
    {"py_qvi_option_comb_entrust_pb", plain, request_response<qvi_option_comb_entrust_pb>},
    {"py_qvi_option_sep_entrust_pb", plain, request_response<qvi_option_sep_entrust_pb>},
    {"py_qvi_get_option_combinable_pb", plain, request_response<qvi_get_option_combinable_pb>},
    {"py_qvi_get_option_comb_position_pb", plain, request_response<qvi_get_option_comb_position_pb>},
};

} // namespace

constinit const Family family::ipo_options{rows};

} // namespace c_sdk
