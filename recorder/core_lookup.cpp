// Finding the real core library. The module loads zadiv3-e.so into its own
// local scope (it is the module's NEEDED library, and CPython dlopens the
// module RTLD_LOCAL), so dlsym(RTLD_NEXT) cannot see it. On the first core
// call the shim looks among the loaded objects for a file of that name, or
// takes the one C_SDK_RECORD_CORE names (loading it if need be), and then
// looks every function up in it once.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "recorder.hpp"

namespace qvrec {

namespace {

constexpr const char* kCoreFile = "zadiv3-e.so";

char g_core_path[4096];
std::atomic<bool> g_core_known{false};

[[noreturn]] void fatal(const char* what, const char* detail) {
    char line[4600];
    int n = std::snprintf(line, sizeof line, "c_sdk recorder: %s%s\n", what, detail);
    if (n > 0) {
        ssize_t ignored = ::write(2, line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
        (void)ignored;
    }
    std::abort();
}

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int find_loaded(struct dl_phdr_info* info, std::size_t, void* out) {
    const char* name = info->dlpi_name;
    if (name == nullptr || *name == '\0' || std::strcmp(base_name(name), kCoreFile) != 0) return 0;
    std::snprintf(static_cast<char*>(out), sizeof g_core_path, "%s", name);
    return 1;
}

void* open_core() {
    if (const char* given = std::getenv("C_SDK_RECORD_CORE"); given != nullptr && *given != '\0') {
        std::snprintf(g_core_path, sizeof g_core_path, "%s", given);
        void* h = ::dlopen(given, RTLD_NOLOAD | RTLD_LAZY);
        if (h == nullptr) h = ::dlopen(given, RTLD_LAZY | RTLD_LOCAL);
        if (h == nullptr) fatal("cannot load the core library named by C_SDK_RECORD_CORE: ", ::dlerror());
        return h;
    }
    // dlopen is not called from inside the iteration: the loader's lock is held there.
    if (::dl_iterate_phdr(find_loaded, g_core_path) == 0) {
        fatal("no core library is loaded (looked for ", "zadiv3-e.so; C_SDK_RECORD_CORE names another)");
    }
    void* h = ::dlopen(g_core_path, RTLD_NOLOAD | RTLD_LAZY);
    if (h == nullptr) fatal("cannot reach the loaded core library: ", ::dlerror());
    return h;
}

} // namespace

void* resolve(int fn) {
    static std::mutex* m = new std::mutex;
    std::lock_guard lock(*m);
    if (void* p = g_real[fn].load(std::memory_order_acquire)) return p;
    void* core = open_core();
    Dl_info self{}, found{};
    ::dladdr(reinterpret_cast<void*>(&resolve), &self);
    for (int i = 0; i < kFunctionCount; ++i) {
        void* p = ::dlsym(core, kFunctionNames[i]);
        if (p == nullptr) {
            if (i == fn) fatal("the core library has no function ", kFunctionNames[i]);
            continue; // fatal when it is called
        }
        // The shim put in the core's place, with no real core named: no way on.
        if (::dladdr(p, &found) != 0 && found.dli_fbase == self.dli_fbase) {
            fatal("the core library found is the recorder itself: ", g_core_path);
        }
        g_real[i].store(p, std::memory_order_release);
    }
    g_core_known.store(true, std::memory_order_release);
    return g_real[fn].load(std::memory_order_acquire);
}

const char* core_path() noexcept {
    return g_core_known.load(std::memory_order_acquire) ? g_core_path : nullptr;
}

} // namespace qvrec
