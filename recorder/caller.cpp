// Which calls are the module's. Preloaded, the shim receives every reference
// to a core function in the process: the module's, but also the core's own
// references to its exported functions (a core built without symbolic
// binding calls itself through them) and those of threads the core runs. A
// call is the module's when it returns into the module's code; the module's
// code is found once, from the first call that returns into an object named
// like it (c_sdk.<tag>.so), and is two compares from then on.
#include <dlfcn.h>
#include <link.h>

#include <cstring>

#include "recorder.hpp"

namespace qvrec {

constinit std::atomic<std::uintptr_t> g_module_lo{0};
constinit std::atomic<std::uintptr_t> g_module_hi{0};

namespace {

bool is_module_file(const char* path) {
    if (path == nullptr) return false;
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    std::size_t len = std::strlen(name);
    return std::strncmp(name, "c_sdk.", 6) == 0 && len > 9 && std::strcmp(name + len - 3, ".so") == 0;
}

struct Span {
    std::uintptr_t base;
    std::uintptr_t lo = ~std::uintptr_t{0};
    std::uintptr_t hi = 0;
};

// The executable segments of the object loaded at span->base.
int segments(struct dl_phdr_info* info, std::size_t, void* data) {
    auto* span = static_cast<Span*>(data);
    if (info->dlpi_addr != span->base) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) & ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
        std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (start < span->lo) span->lo = start;
        if (start + ph.p_memsz > span->hi) span->hi = start + ph.p_memsz;
    }
    return 1;
}

} // namespace

bool find_module(const void* return_address) noexcept {
    Dl_info info{};
    if (::dladdr(return_address, &info) == 0 || !is_module_file(info.dli_fname)) return false;
    Span span{reinterpret_cast<std::uintptr_t>(info.dli_fbase)};
    if (::dl_iterate_phdr(segments, &span) == 0 || span.hi <= span.lo) return false;
    g_module_hi.store(span.hi, std::memory_order_relaxed);
    g_module_lo.store(span.lo, std::memory_order_release);
    return true;
}

} // namespace qvrec
