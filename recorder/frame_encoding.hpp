// The parts of a frame body that are not what crossed (values.hpp has
// those): the fixed part, an event, a LOST frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values.hpp"

namespace qvrec {

struct Fixed {
    std::uint8_t kind;
    std::uint8_t flags;
    std::uint16_t fn;
    std::uint32_t thread;
    std::int64_t start_ns;
    std::int64_t duration_ns;
};
static_assert(sizeof(Fixed) == QVS_BODY_FIXED, "the fixed part is packed as the file has it");

inline char* put_fixed(char* p, const Fixed& f) { return put(p, f); }

// msg_len:u32 msg NUL data_len:i32 data_null:u8 [data]; a null message
// type is flagged in the fixed part and written as empty.
inline std::size_t event_size(std::size_t msg_len, const void* data, int data_len) {
    return 4 + msg_len + 1 + 4 + 1 +
           (data != nullptr && data_len > 0 ? static_cast<std::size_t>(data_len) : 0);
}
inline char* put_event(char* p, const char* msg, std::size_t msg_len, const void* data, int data_len) {
    p = put_text(p, msg != nullptr ? msg : "", msg_len);
    p = put<std::int32_t>(p, data_len);
    p = put<std::uint8_t>(p, data == nullptr ? 1 : 0);
    if (data != nullptr && data_len > 0) p = put_bytes(p, data, static_cast<std::size_t>(data_len));
    return p;
}

// frames:u64 bytes:u64 depth:u32
constexpr std::size_t kLostBodySize = QVS_BODY_FIXED + 8 + 8 + 4;

inline void lost_body(char* out, std::uint32_t thread, std::int64_t first_ns, std::int64_t last_ns,
                      std::uint64_t frames, std::uint64_t bytes, std::uint32_t depth) {
    char* p = put_fixed(out, Fixed{QVS_LOST, 0, 0, thread, first_ns, last_ns - first_ns});
    p = put<std::uint64_t>(p, frames);
    p = put<std::uint64_t>(p, bytes);
    put<std::uint32_t>(p, depth);
}

} // namespace qvrec
