// Connection, identity and mode settings.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_set_mode_consistency", w, custom<qvi_set_mode_consistency, Py<"mode">, IntAsBool<0>>},
    {"py_qvi_get_serv_addr", w, custom<qvi_get_serv_addr, Py<"serv_id">, Text<0>, TextOut>},
    {"py_qvi_set_strategy_id", w, scalar<qvi_set_strategy_id, "strategy_id">},
    {"py_qvi_set_token", w, scalar<qvi_set_token, "token">},
    {"py_qvi_get_encrypted_token", w, scalar<qvi_get_encrypted_token>},
    {"py_qvi_get_orgcode", w, scalar<qvi_get_orgcode>},
    {"py_qvi_set_mfp", w, scalar<qvi_set_mfp, "mfp">},
    {"py_qvi_set_apitoken", w, scalar<qvi_set_apitoken, "token">},
    {"py_qvi_set_serv_addr", w, scalar<qvi_set_serv_addr, "addr">},
    {"py_qvi_set_ctp_md_info", w, scalar<qvi_set_ctp_md_info, "front_addresses", "user_name", "password">},
    {"py_qvi_strerror", plain, scalar<qvi_strerror, "errorno">},
    {"py_qvi_get_ext_errormsg", plain, scalar<qvi_get_ext_errormsg>},
    {"py_qvi_set_version", w,
     custom<qvi_set_version, Py<"sdk_version", "sdk_lang">, Text<0>, Text<1>, Null, Null>},
    {"py_qvi_set_serv_addr_v5", plain, scalar<qvi_set_serv_addr_v5, "addr", "orgcode", "site_id">},
    {"py_qvi_set_account_id", plain, scalar<qvi_set_account_id, "account_ids">},
    {"py_qvi_set_simtrade_only", plain, scalar<qvi_set_simtrade_only>},
    {"py_qvi_set_max_wait_time", plain, scalar<qvi_set_max_wait_time, "max_wait_time">},
    {"py_qvi_use_dsproxy", plain, scalar<qvi_use_dsproxy>},
};

} // namespace

constinit const Family family::settings{rows};

} // namespace c_sdk
