// The event entry point handed to the core library.
#pragma once

namespace c_sdk {

extern "C" void callback_wrapper(const char* msg_type, void* data, int data_len);

} // namespace c_sdk
