// The event queue and the run loop (events.cpp).
#pragma once

namespace standin {

// Empties the queue and clears the stop flag (standin_reset).
void clear_events();

}  // namespace standin
