// The recorder's settings, read from the environment once, when the shim is
// loaded. A setting it cannot make sense of is named on stderr and nothing
// is recorded: a recording that silently ignores its limit is worse than none.
#pragma once

#include <cstdint>

namespace qvrec {

struct Settings {
    char* path = nullptr;               // C_SDK_RECORD_FILE with %p replaced by the pid, absolute
    const char* pattern = nullptr;      // C_SDK_RECORD_FILE as given
    const char* limit_text = nullptr;   // C_SDK_RECORD_MAX_BYTES as given, for messages
    std::uint64_t limit = 0;            // 0: no limit
    std::uint64_t ring_size = 4u << 20; // per recording thread
    std::uint32_t threads = 64;         // recording threads at once
    const char* ring_dir = "/dev/shm";  // where the shared rings' file goes
    bool keep_rings = false;            // left there for whoever gave the folder
};

// Reads the settings; false (after one line on stderr, where the user asked
// for a recording) when nothing is to be recorded.
bool read_settings(Settings& out) noexcept;

// A file name with every %p replaced by the process id, made absolute (malloc'ed).
char* expand_path(const char* pattern) noexcept;

// One line on stderr, "c_sdk recorder: " and the text.
void say(const char* text) noexcept;

// Parses "4096", "512k", "1.5G", "2GB", "64MiB": bytes, with binary
// multiples. False for anything else, a negative or a fraction of a byte.
bool parse_size(const char* text, std::uint64_t& out) noexcept;

} // namespace qvrec
