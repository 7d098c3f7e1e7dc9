#include "session_header.hpp"

#include <cstring>

#include "recorder.hpp"

namespace qvrec {

namespace {

template <class T>
void put_le(char*& p, T v) {
    std::memcpy(p, &v, sizeof v);
    p += sizeof v;
}

} // namespace

std::size_t compose_header(char* out, std::size_t room, std::int64_t wall_ns, std::int64_t mono_ns,
                           std::uint32_t pid, const char* core_path) noexcept {
    const char* core = core_path != nullptr ? core_path : "";
    std::size_t core_len = ::strnlen(core, 4096);
    std::size_t size = QVS_MAGIC_LEN + 2 + 2 + 4 + 8 + 8 + 4 + 2 + 2 + core_len;
    for (int i = 0; i < kFunctionCount; ++i) size += 1 + std::strlen(kFunctionNames[i]);
    if (out == nullptr || size > room) return size;
    char* p = out;
    std::memcpy(p, QVS_MAGIC, QVS_MAGIC_LEN);
    p += QVS_MAGIC_LEN;
    put_le<std::uint16_t>(p, QVS_VERSION);
    put_le<std::uint16_t>(p, 0);
    put_le<std::uint32_t>(p, static_cast<std::uint32_t>(size));
    put_le<std::int64_t>(p, wall_ns);
    put_le<std::int64_t>(p, mono_ns);
    put_le<std::uint32_t>(p, pid);
    put_le<std::uint16_t>(p, static_cast<std::uint16_t>(kFunctionCount));
    for (int i = 0; i < kFunctionCount; ++i) {
        std::size_t n = std::strlen(kFunctionNames[i]);
        put_le<std::uint8_t>(p, static_cast<std::uint8_t>(n));
        std::memcpy(p, kFunctionNames[i], n);
        p += n;
    }
    put_le<std::uint16_t>(p, static_cast<std::uint16_t>(core_len));
    std::memcpy(p, core, core_len);
    return size;
}

} // namespace qvrec
