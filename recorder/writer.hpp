// The writer process: a grandchild of the recorded process that shares its
// rings, takes the frames out in commit order, checksums them and writes
// the session file. It outlives the recorded process until every committed
// frame is in the file, so a process killed outright or crashing loses none.
#pragma once

#include <cstdint>

#include "ring.hpp"

namespace qvrec {

struct WriterSetup {
    Shared* shared;
    int alive_fd; // read end of a pipe the recorded process holds open while it lives
    const char* path;
    std::uint64_t limit;    // 0: none
    const char* limit_text; // as the user wrote it
    std::int64_t wall_ns;   // when recording began, for the header
    std::int64_t mono_ns;
    std::uint32_t pid; // of the recorded process
};

[[noreturn]] void run_writer(const WriterSetup& setup) noexcept;

} // namespace qvrec
