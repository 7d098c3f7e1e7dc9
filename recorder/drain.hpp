// Taking the frames out of the rings, in commit order, into the session
// file. The writer does it while the recorded process lives; a salvage does
// it once more from what a dead writer left, starting where the file's last
// completed write ended. Ring space is handed back only once what it held
// is in the file, so whatever a dead writer had not written is still in
// the rings.
#pragma once

#include <cstdint>

#include "ring.hpp"
#include "writer_file.hpp"

namespace qvrec {

// The next record of one ring, if committed. Each pass reads the rings'
// heads once and takes what was committed before it, never chasing a
// thread's newest frames: those cache lines are still being written, and a
// writer reading them takes them from the thread on every call.
struct Next {
    bool has = false;
    std::uint64_t seq = 0;
    const char* body = nullptr;
    std::uint32_t len = 0;
    std::uint64_t tail = 0;         // up to here taken
    std::uint64_t head = 0;         // committed, as last read
    std::uint64_t published = 0;    // tail as the recording thread sees it
    std::uint64_t lost_written = 0; // frames of the ring's LOST counts in the file, not yet cleared
    bool free_after = false;        // a ring of a thread that ended: free once its LOST frame is in
};

class Drain {
public:
    // Goes on from the file's last completed write (`from`): ring records
    // before its sequence number are in the file already.
    Drain(Shared* sh, SessionFile& file, Next* next, const Progress& from);

    // Takes what is committed, in commit order. After the recorded process
    // is gone nothing more will be committed: a sequence number taken but
    // never committed is skipped. Returns the number of frames taken;
    // bytes_taken() is their room in the rings.
    std::uint64_t pass(bool gone);
    std::uint64_t bytes_taken() const { return bytes_; }

    // Writes what is gathered; then, what it holds is the file's progress,
    // and the rings' room is handed back. False once stopped.
    bool flush();

    // The losses still owed: of every ring, and of threads that had none.
    void report_lost();

    // A ring damaged beyond reading (a salvage of a crashed process's
    // memory): its rest is skipped, and this says so.
    bool damaged() const { return damaged_; }

private:
    static constexpr std::uint32_t kNone = ~0u;

    void peek(std::uint32_t k);
    void publish(std::uint32_t k);
    std::uint32_t find(std::uint64_t seq);
    std::uint32_t lowest();
    void take(std::uint32_t k);
    void count(const char* body, std::uint32_t len);
    bool add_lost(std::uint32_t thread, std::int64_t first, std::int64_t last, std::uint64_t frames,
                  std::uint64_t bytes);
    void lost_of(Slot& s);
    void recycle();

    Shared* sh_;
    SessionFile& file_;
    Next* next_;
    Progress p_;
    std::uint32_t last_ = kNone;
    std::uint64_t bytes_ = 0;
    bool damaged_ = false;
    std::uint64_t overflow_written_ = 0;
};

} // namespace qvrec
