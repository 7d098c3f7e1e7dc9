// The session file's header (session_format.h), composed by the recorded
// process when its recording starts: it knows the function names and the
// core library; the writer only copies the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvrec {

// Its size, and its bytes into `out` when not null and `room` holds them.
std::size_t compose_header(char* out, std::size_t room, std::int64_t wall_ns, std::int64_t mono_ns,
                           std::uint32_t pid, const char* core_path) noexcept;

} // namespace qvrec
