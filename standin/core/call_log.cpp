// The call log: every core call with its C arguments as received, readable
// by tests as JSON.
#include <bit>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "call_log.h"

namespace standin {

constinit std::atomic<bool> g_log_on{true};

namespace {

struct Call {
    const char* fn;  // FnState names are string literals
    std::vector<Arg> args;
};

std::vector<Call>& calls() {
    static auto* c = new std::vector<Call>;  // never destroyed, like state_mutex()
    return *c;
}

void append_hex(std::string& out, const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xf];
    }
}

void append_num(std::string& out, unsigned long long v) { out += std::to_string(v); }

void append_arg(std::string& out, const Arg& a) {
    switch (a.kind) {
    case Arg::Kind::Int: out += "{\"t\":\"int\",\"v\":" + std::to_string(a.num) + "}"; break;
    case Arg::Kind::Bool:
        out += a.num ? "{\"t\":\"bool\",\"v\":true}" : "{\"t\":\"bool\",\"v\":false}";
        break;
    case Arg::Kind::Double: {
        // The bit pattern keeps nan, infinities and -0.0 exact.
        char bits[17];
        std::snprintf(bits, sizeof bits, "%016llx",
                      static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(a.dbl)));
        out += "{\"t\":\"double\",\"bits\":\"";
        out += bits;
        out += "\"}";
        break;
    }
    case Arg::Kind::Text:
        out += "{\"t\":\"text\",\"addr\":";
        append_num(out, a.addr);
        out += ",\"v\":";
        if (a.has_bytes) {
            out += '"';
            append_hex(out, a.bytes);
            out += '"';
        } else {
            out += "null";
        }
        out += '}';
        break;
    case Arg::Kind::Buffer:
        out += "{\"t\":\"buffer\",\"addr\":";
        append_num(out, a.addr);
        out += ",\"len\":" + std::to_string(a.num) + ",\"data\":";
        if (a.has_bytes) {
            out += '"';
            append_hex(out, a.bytes);
            out += '"';
        } else {
            out += "null";
        }
        out += a.nul_follows ? ",\"nul\":true}" : ",\"nul\":false}";
        break;
    case Arg::Kind::Out:
        out += "{\"t\":\"out\",\"addr\":";
        append_num(out, a.addr);
        out += '}';
        break;
    case Arg::Kind::Fn:
        out += "{\"t\":\"fn\",\"addr\":";
        append_num(out, a.addr);
        out += '}';
        break;
    }
}

}  // namespace

Arg::Arg(TextArg t) : kind(Kind::Text), addr(reinterpret_cast<std::uintptr_t>(t.ptr)) {
    if (t.ptr != nullptr) {
        has_bytes = true;
        bytes.assign(t.ptr);
    }
}

Arg::Arg(ReqArg r) : kind(Kind::Buffer), num(r.len), addr(reinterpret_cast<std::uintptr_t>(r.ptr)) {
    if (r.ptr == nullptr || r.len < 0) return;
    const char* p = static_cast<const char*>(r.ptr);
    has_bytes = true;
    bytes.assign(p, static_cast<std::size_t>(r.len));
    // Reads one byte past the lent buffer on purpose: tests check whether the
    // caller's buffers are NUL-terminated, as the real core may rely on it.
    nul_follows = p[r.len] == '\0';
}

void append_call(const char* fn, std::vector<Arg>&& args) {
    std::lock_guard lock(state_mutex());
    calls().push_back(Call{fn, std::move(args)});
}

void reset_log() {
    g_log_on.store(true);
    std::lock_guard lock(state_mutex());
    calls().clear();
}

}  // namespace standin

using namespace standin;

extern "C" int standin_log_enable(int on) { return g_log_on.exchange(on != 0) ? 1 : 0; }

extern "C" void standin_log_clear(void) {
    std::lock_guard lock(state_mutex());
    calls().clear();
}

extern "C" long long standin_log_size(void) {
    std::lock_guard lock(state_mutex());
    return static_cast<long long>(calls().size());
}

extern "C" const char* standin_log_json(void) {
    thread_local std::string json;
    json.clear();
    json += '[';
    std::lock_guard lock(state_mutex());
    bool first_call = true;
    for (const Call& c : calls()) {
        if (!first_call) json += ',';
        first_call = false;
        json += "{\"fn\":\"";
        json += c.fn;
        json += "\",\"args\":[";
        for (std::size_t i = 0; i < c.args.size(); ++i) {
            if (i != 0) json += ',';
            append_arg(json, c.args[i]);
        }
        json += "]}";
    }
    json += ']';
    return json.c_str();
}
