// The stand-in answers only a process that asked for it (see asking.h).
#include "asking.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "functions.h"

namespace standin {

constinit std::atomic<int> g_asking{kUndecided};

namespace {

constinit std::atomic<bool> g_told{false};

// QVCORE_STANDIN=1 (or on, yes, true), read when the first status is due:
// a process may set it after loading the library but before calling it.
bool environment_asks() {
    const char* v = std::getenv("QVCORE_STANDIN");
    if (v == nullptr) return false;
    for (const char* yes : {"1", "on", "yes", "true"}) {
        if (::strcasecmp(v, yes) == 0) return true;
    }
    return false;
}

// This library's own file, as the loader found it.
const char* own_file() {
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&standin_ask), &info) != 0 && info.dli_fname != nullptr) {
        return info.dli_fname;
    }
    return "zadiv3-e.so";
}

int decided() {
    int state = g_asking.load();
    if (state == kUndecided) {
        g_asking.compare_exchange_strong(state, environment_asks() ? kAsked : kNotAsked);
        state = g_asking.load();
    }
    return state;
}

}  // namespace

bool refuse_unasked() {
    if (decided() == kAsked) return false;
    if (!g_told.exchange(true)) {
        std::fprintf(stderr,
                     "c_sdk stand-in core: %s is the stand-in, not a real core: nothing reaches a market "
                     "and every call that returns a status gets %d; set QVCORE_STANDIN=1 or create "
                     "qvcore_standin.Core() to ask for the stand-in\n",
                     own_file(), STANDIN_REFUSED);
    }
    return true;
}

}  // namespace standin

using namespace standin;

extern "C" void standin_ask(void) { g_asking.store(kAsked); }

extern "C" int standin_asked(void) { return decided() == kAsked ? 1 : 0; }
