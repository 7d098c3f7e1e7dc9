// The helper functions of the module namespace.
#pragma once

#include "module/function.hpp"

namespace c_sdk {

extern const Definition is_windows_def;
extern const Definition is_linux_def;
extern const Definition adapt_to_python3_def;
extern const Definition c_status_ok_def;
extern const Definition c_status_fail_def;

} // namespace c_sdk
