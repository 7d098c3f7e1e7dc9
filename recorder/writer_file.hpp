// The session file as the writer process writes it: opened on the first
// frame, gathered in a buffer of its own, written out at the end of every
// pass over the rings. Any failure stops the recording with one line on
// stderr; what was written stays readable. Only async-signal-safe calls: the
// writer is a fork of a process that may have had threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "writer.hpp"

namespace qvrec {

class SessionFile {
public:
    explicit SessionFile(const WriterSetup& setup) : s_(setup) {}
    // Appends one frame; false once the recording is stopped.
    bool add(const char* body, std::uint32_t len) noexcept;
    // Writes what is gathered; false once the recording is stopped.
    bool flush() noexcept;
    void close() noexcept;
    bool stopped() const { return stopped_; }

private:
    bool open() noexcept;
    bool write_all(const char* p, std::size_t len) noexcept;
    void stop(const char* why, int err) noexcept;
    void stop_at_limit() noexcept;

    const WriterSetup& s_;
    int fd_ = -1;
    bool opened_ = false;
    bool stopped_ = false;
    char* buf_ = nullptr;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0; // bytes in the file
};

} // namespace qvrec
