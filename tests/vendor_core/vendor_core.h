// The vendor-style test core: the stand-in, reached through dlsym, behind
// exports of its own.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "qvcsdk.h"

namespace vendor {

inline void* inner_library() {
    static void* h = [] {
        const char* path = std::getenv("VENDOR_CORE_INNER");
        void* lib = path != nullptr ? ::dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (lib == nullptr) {
            std::fprintf(stderr, "vendor core: cannot load VENDOR_CORE_INNER: %s\n", ::dlerror());
            std::abort();
        }
        return lib;
    }();
    return h;
}

template <class F>
F inner(const char* name) {
    void* p = ::dlsym(inner_library(), name);
    if (p == nullptr) std::abort();
    return reinterpret_cast<F>(p);
}

} // namespace vendor
