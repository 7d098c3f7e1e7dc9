// The lock of the shared state and the lookup of core functions by name.
#include "functions.h"

#include <cstring>

namespace standin {

std::mutex& state_mutex() {
    static auto* m = new std::mutex;
    return *m;
}

FnState* find_function(const char* name) {
    return name == nullptr ? nullptr : find_function(name, std::strlen(name));
}

FnState* find_function(const char* name, std::size_t len) {
    for (int i = 0; i < kFunctionCount; ++i) {
        FnState* st = kFunctions[i];
        if (static_cast<std::size_t>(st->name_len) == len && std::memcmp(st->name, name, len) == 0) return st;
    }
    return nullptr;
}

}  // namespace standin

using namespace standin;

extern "C" int standin_function_count(void) { return kFunctionCount; }

extern "C" const char* standin_function_name(int index) {
    return index >= 0 && index < kFunctionCount ? kFunctions[index]->name : nullptr;
}

extern "C" int standin_function_caps(const char* fn) {
    const FnState* st = find_function(fn);
    return st == nullptr ? STANDIN_UNKNOWN_FUNCTION : static_cast<int>(st->caps);
}
