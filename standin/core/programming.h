// Programming the core functions' answers by name (programming.cpp).
#pragma once

namespace standin {

// Every function back to its default answer; frees the programmed replies
// (standin_reset).
void reset_programming();

}  // namespace standin
