// Whether this process asked for the stand-in. A process that did not (it
// neither created a qvcore_standin.Core(), which calls standin_ask(), nor
// set QVCORE_STANDIN=1) must never take the stand-in's answers for a real
// core's: every core function returning a status returns STANDIN_REFUSED
// instead, and the first refusal says why on stderr.
#pragma once

#include <atomic>

namespace standin {

enum Asking : int { kUndecided = 0, kAsked = 1, kNotAsked = 2 };

extern std::atomic<int> g_asking;

// Decides from the environment on first use; prints the one line once.
[[gnu::cold]] bool refuse_unasked();

// True when the calling core function must return STANDIN_REFUSED.
inline bool refused() { return g_asking.load(std::memory_order_relaxed) != kAsked && refuse_unasked(); }

}  // namespace standin
