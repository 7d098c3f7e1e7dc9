// The memory the recorded process shares with its writer process: one ring
// per recording thread, each written by that thread alone and read by the
// writer alone, so neither side ever waits for the other.
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

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

enum SlotState : std::uint32_t { kFree = 0, kOwned = 1, kRetired = 2 };

// One recording thread. The producer's and the consumer's fields live on
// cache lines of their own.
struct alignas(64) Slot {
    std::atomic<std::uint32_t> state;
    std::uint32_t tid;
    char pad0[56];
    std::atomic<std::uint64_t> head; // bytes committed (producer)
    char pad1[56];
    std::atomic<std::uint64_t> tail; // bytes consumed (writer)
    char pad2[56];
    // Frames dropped and not yet reported by a LOST record of the thread's
    // own; the writer reports what is left when the session ends.
    std::atomic<std::uint64_t> lost_frames;
    std::atomic<std::uint64_t> lost_bytes;
    std::atomic<std::int64_t> lost_first_ns;
    std::atomic<std::int64_t> lost_last_ns;
};

// Fields are grouped by who writes them and how often, a cache line each:
// a line written on every frame and read by the writer in its loops would
// move between the two cores on every call.
struct alignas(64) Shared {
    // Set before the writer starts; read only after.
    std::uint32_t slot_count;
    std::uint64_t ring_size; // a multiple of 8
    // The commit order: every recording thread, every frame.
    alignas(64) std::atomic<std::uint64_t> next_seq;
    // Read by every recorded call, written once by the writer.
    alignas(64) std::atomic<std::uint32_t> stopped; // the writer stopped the recording
    // The writer's, every pass.
    alignas(64) std::atomic<std::uint64_t> progress; // bytes the writer has written
    std::atomic<std::uint32_t> writer_done;          // every frame is in the file
    // The recorded process's, seldom.
    alignas(64) std::atomic<std::uint32_t> parent_done; // the recorded process is exiting
    std::atomic<std::uint64_t> overflow_frames;         // from threads beyond the last slot
    std::atomic<std::uint32_t> core_path_set;
    char core_path[1024]; // filled in by the first call, for the header

    Slot* slots() { return reinterpret_cast<Slot*>(reinterpret_cast<char*>(this) + header_size()); }
    char* ring(std::uint32_t k) {
        return reinterpret_cast<char*>(slots() + slot_count) + std::size_t{k} * ring_size;
    }
    static constexpr std::size_t header_size() { return (sizeof(Shared) + 63) & ~std::size_t{63}; }
    static std::size_t total_size(std::uint32_t slots, std::uint64_t ring) {
        return header_size() + slots * sizeof(Slot) + slots * ring;
    }
};

} // namespace qvrec
