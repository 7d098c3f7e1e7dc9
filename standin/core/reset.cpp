// standin_reset(): every part of the library back to its defaults. The top
// of the library: it calls into each part, and nothing calls it.
#include "call_log.h"
#include "dynamic_calls.h"
#include "events.h"
#include "programming.h"
#include "replay.h"

extern "C" void standin_reset(void) {
    using namespace standin;
    end_replay();
    reset_log();
    clear_events();
    reset_clocks();
    reset_programming();
}
