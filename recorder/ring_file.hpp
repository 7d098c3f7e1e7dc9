// The file that holds the shared rings (ring.hpp): created by the recorded
// process on its first recorded frame, mapped by it and by its writer, and
// removed by the writer once every frame is in the session file. A writer
// that died leaves it behind with everything committed since its last
// write, for a salvage to finish the session.
//
// tmpfs raises SIGBUS on a page it has no room for: the fixed part is
// allocated when the file is made, and each ring when a thread first takes
// it, so a full /dev/shm costs frames (counted), never the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ring.hpp"

namespace qvrec {

struct RingFile {
    Shared* shared = nullptr;
    int fd = -1; // O_RDWR, O_CLOEXEC, flock'ed exclusively
    char path[4096];
};

// Creates DIR/qvrec-<pid>-<random>.ring and maps it; a line in `problem` when not.
bool create_ring_file(const char* dir, std::uint32_t slots, std::uint64_t ring_size, RingFile& out,
                      char* problem, std::size_t room) noexcept;

// Allocates ring k's pages, once: false when the file system has no room.
bool back_ring(Shared* sh, std::uint32_t k) noexcept;

// Maps a ring file that fd has open, checking that it is one and that its
// sizes agree with it; a line in `problem` when not.
Shared* map_ring_file(int fd, char* problem, std::size_t room) noexcept;

// When process `pid` started (clock ticks after boot; 0 when there is none
// such): a process of the same pid that started later is another one.
std::uint64_t process_start_time(int pid) noexcept;

} // namespace qvrec
