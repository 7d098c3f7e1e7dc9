// Core functions with defaults of their own (dynamic_calls.cpp).
#pragma once

namespace standin {

// Puts the clocks back to their defaults (standin_reset).
void reset_clocks();

}  // namespace standin
