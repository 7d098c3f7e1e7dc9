// The session file as the writer process writes it: created by the
// recorded process (session_name.hpp) and handed over open, gathered in a
// buffer of its own, written out at the end of every pass over the rings.
// Any failure stops the recording: its line goes into the shared memory,
// where the recorded process says it on its own stderr and `record`
// reports it; what was written stays readable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ring.hpp"

namespace qvrec {

class SessionFile {
public:
    // fd holds `written` bytes of the session already; none: the header comes first.
    SessionFile(Shared* sh, int fd, std::uint64_t written) noexcept;
    // Appends one frame; false once the recording is stopped.
    bool add(const char* body, std::uint32_t len) noexcept;
    // Writes what is gathered; false once the recording is stopped.
    bool flush() noexcept;
    void close() noexcept;
    bool stopped() const { return stopped_; }
    std::uint64_t written() const { return written_; }
    void stop(const char* why, int err) noexcept;

private:
    bool write_all(const char* p, std::size_t len) noexcept;
    void stop_at_limit() noexcept;

    Shared* sh_;
    int fd_;
    bool stopped_ = false;
    char* buf_ = nullptr;
    std::size_t used_ = 0;
    std::uint64_t written_;   // bytes in the file
    std::uint64_t whole_ = 0; // where the piece being written began: a frame's start
};

} // namespace qvrec
