#pragma once

#include <cstddef>
#include <cstdint>

namespace qvrec {

// zlib's Adler-32 (the reader checks frames with zlib.adler32).
std::uint32_t checksum(const void* data, std::size_t len) noexcept;

} // namespace qvrec
