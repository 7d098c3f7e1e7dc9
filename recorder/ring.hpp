// The memory the recorded process shares with its writer process: one ring
// per recording thread, each written by one thread at a time and read by the
// writer alone, so neither side ever waits for the other.
//
// It is a file (under /dev/shm by default, see ring_file.hpp), not anonymous
// memory: whatever the recorded process committed survives both processes,
// so frames that a killed writer never wrote can still be salvaged into the
// session ("qvrec-writer --recover", what `record` and `recover` run).
//
// A record in a ring is `body_len:u32 0:u32 seq:u64 body`, padded to 8
// bytes; a body_len of kWrap means "the rest of the ring is unused, go on at
// its start". `seq` comes from one counter for the whole process, taken as
// the record is committed: the writer puts records into the file in that
// order, so each thread keeps its order and threads interleave by time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qvrec {

constexpr std::uint32_t kWrap = 0xffffffffu;
constexpr std::size_t kRecordHead = 16;
constexpr char kRingMagic[8] = {'Q', 'V', 'R', 'E', 'C', 'R', 'N', 'G'};
constexpr std::uint32_t kRingLayout = 1;
// Room for the session file's header: the function names (about 5 KiB) and
// the core library's path.
constexpr std::size_t kHeaderRoom = 16384;

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

enum SlotState : std::uint32_t { kFree = 0, kOwned = 1, kRetired = 2 };

// One ring. The producer's and the consumer's fields live on cache lines of
// their own. A thread that ends hands its ring on as it is: the next owner
// goes on after the last record, so head and tail only ever grow.
struct alignas(64) Slot {
    std::atomic<std::uint32_t> state;
    std::uint32_t tid;                 // the owner, for its LOST frames
    std::atomic<std::uint32_t> backed; // its pages are allocated in the file
    char pad0[52];
    std::atomic<std::uint64_t> head; // bytes committed (producer)
    char pad1[56];
    std::atomic<std::uint64_t> tail; // bytes in the session file (writer)
    char pad2[56];
    // Frames dropped and not yet reported by a LOST record of the thread's
    // own; the writer reports what is left when the thread or the session ends.
    std::atomic<std::uint64_t> lost_frames;
    std::atomic<std::uint64_t> lost_bytes;
    std::atomic<std::int64_t> lost_first_ns;
    std::atomic<std::int64_t> lost_last_ns;
};

// What the session file holds, as of the writer's last completed write:
// every frame committed before sequence number next_seq, in file_bytes
// bytes, and what they count. A salvage starts from here.
struct Progress {
    std::uint64_t file_bytes;
    std::uint64_t next_seq;
    std::uint64_t frames, calls, events, failures;
    std::uint64_t lost_frames, lost_bytes; // in the file's LOST frames
    std::int64_t first_ns, last_ns;        // of the frames' starts and ends
};

enum WriterState : std::uint32_t {
    kWriting = 0,  // a writer owns the session (or died owning it)
    kComplete = 1, // every committed frame is in the file
    kStopped = 2,  // the writer stopped: stop_line says why
};

// Fields are grouped by who writes them and how often, a cache line each:
// a line written on every frame and read by the writer in its loops would
// move between the two cores on every call.
struct alignas(64) Shared {
    // Set by the recorded process before the writer starts; read only after.
    char magic[8];
    std::uint32_t layout;
    std::uint32_t slot_count;
    std::uint64_t ring_size; // a multiple of the page size
    std::uint64_t file_size; // of this shared file
    std::uint64_t limit;     // of the session file; 0: none
    std::int64_t wall_ns, mono_ns;
    std::uint32_t pid;       // of the recorded process
    std::uint64_t pid_start; // its start time (clock ticks after boot): tells it from a later one
    std::uint32_t keep;      // leave this file when done: its creator collects it
    std::uint64_t session_dev, session_ino; // the session file, as created
    std::uint32_t header_len;
    char limit_text[64];  // C_SDK_RECORD_MAX_BYTES as the user wrote it
    char path[4096];      // the session file, absolute
    char ring_path[4096]; // this file
    char header[kHeaderRoom];
    std::uint8_t returns_status[1024]; // by function index: its int result is a status
    // The commit order: every recording thread, every frame.
    alignas(64) std::atomic<std::uint64_t> next_seq;
    // Read by every recorded call, written once by the writer.
    alignas(64) std::atomic<std::uint32_t> stopped; // the writer stopped the recording
    // The writer's, every pass.
    alignas(64) std::atomic<std::uint64_t> progress; // bytes the writer has written
    std::atomic<std::uint32_t> state;                // a WriterState
    std::atomic<std::uint32_t> durable_at;           // which of durable[] is current
    std::int32_t writer_pid;
    Progress durable[2];
    char stop_line[1024];   // why it stopped, once state is kStopped
    std::uint64_t salvaged; // frames a salvage wrote after the writer died
    std::uint32_t damaged;  // a ring could not be read to its end
    // The recorded process's, seldom.
    alignas(64) std::atomic<std::uint32_t> parent_done; // the recorded process is exiting
    std::atomic<std::uint32_t> wake;                    // a futex: the writer sleeps on it
    std::atomic<std::uint32_t> said;                    // stop_line is on the process's stderr
    std::atomic<std::uint32_t> rings_freed;             // counts rings handed back
    // Frames of threads that found no ring.
    std::atomic<std::uint64_t> overflow_frames, overflow_bytes;
    std::atomic<std::int64_t> overflow_first_ns, overflow_last_ns;

    Slot* slots() { return reinterpret_cast<Slot*>(reinterpret_cast<char*>(this) + header_size()); }
    char* ring(std::uint32_t k) {
        return reinterpret_cast<char*>(this) + ring_offset(slot_count, ring_size, k);
    }
    const Progress& current() const { return durable[durable_at.load(std::memory_order_acquire) & 1]; }
    static constexpr std::size_t header_size() { return (sizeof(Shared) + 4095) & ~std::size_t{4095}; }
    // The header and the slots: allocated up front, so touching them never faults.
    static std::size_t fixed_size(std::uint32_t slots) {
        return (header_size() + slots * sizeof(Slot) + 4095) & ~std::size_t{4095};
    }
    // Rings start on pages of their own: each is allocated when a thread first takes it.
    static std::size_t ring_offset(std::uint32_t slots, std::uint64_t ring, std::uint32_t k) {
        return fixed_size(slots) + std::size_t{k} * ring;
    }
    static std::size_t total_size(std::uint32_t slots, std::uint64_t ring) {
        return ring_offset(slots, ring, slots);
    }
};

} // namespace qvrec
