// The event callback the module registered, shared by the run loop and the
// replay, which both deliver events to it.
#pragma once

#include "functions.h"

namespace standin {

EventCallback registered_callback();
void register_callback(EventCallback cb);

}  // namespace standin
