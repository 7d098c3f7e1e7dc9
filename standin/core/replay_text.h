// How a divergence report names calls, events and frames.
#pragma once

#include <string>
#include <vector>

#include "call_log.h"
#include "session_reader.h"

namespace standin {

// Appends b'...' (the first 48 bytes, escaped as Python does).
void quote(std::string& out, const char* p, std::size_t n);

// A call as the code under test made it: name(args).
std::string describe_call(const char* name, const std::vector<Arg>& args);

// The event's message type as quoted bytes, or NULL.
std::string describe_message(const RecEvent& e);

// What the recording holds at `v` (an invalid view: its end).
std::string describe_frame(const SessionFile& file, const View& v);

}  // namespace standin
