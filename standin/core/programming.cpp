// Programming the core functions by name: status, response bytes, texts.
#include "programming.h"

#include <memory>
#include <vector>

#include "functions.h"

namespace standin {

namespace {

// A caller told res_len = N copies N bytes; replies are zero-padded up to N
// so that copy stays inside the buffer. Beyond this, lengths are written as
// programmed but not backed by memory.
constexpr int kMaxPadding = 16 << 20;

// Owns every programmed reply. A replaced reply stays alive until reset,
// since another thread may still be reading it.
std::vector<std::unique_ptr<Reply>>& replies() {
    static auto* r = new std::vector<std::unique_ptr<Reply>>;
    return *r;
}

// Caller holds state_mutex().
void publish(FnState& st, std::unique_ptr<Reply> r) {
    st.reply.store(r.get(), std::memory_order_release);
    replies().push_back(std::move(r));
}

std::unique_ptr<Reply> bytes_reply(std::string bytes, int len) {
    auto r = std::make_unique<Reply>();
    r->size = bytes.size();
    r->storage = std::move(bytes);
    if (len > 0 && len <= kMaxPadding && static_cast<std::size_t>(len) > r->storage.size()) {
        r->storage.resize(static_cast<std::size_t>(len), '\0');
    }
    r->data = r->storage.data();
    r->len = len;
    return r;
}

std::unique_ptr<Reply> text_reply_of(const char* text) {
    auto r = std::make_unique<Reply>();
    if (text != nullptr) {
        r->storage = text;
        r->size = r->storage.size();
        r->data = r->storage.c_str();
        r->len = static_cast<int>(r->size);
    }
    return r;
}

// Caller holds state_mutex().
int set_raw_response(FnState& st, bool null_pointer, bool has_length, int length, bool write) {
    const Reply* cur = st.reply.load(std::memory_order_relaxed);
    std::string bytes = cur == nullptr ? std::string(st.name, static_cast<std::size_t>(st.name_len))
                                       : std::string(cur->storage, 0, cur->size);
    int len = has_length ? length : static_cast<int>(bytes.size());
    auto r = bytes_reply(std::move(bytes), len);
    if (null_pointer) r->data = nullptr;
    r->write = write;
    publish(st, std::move(r));
    return STANDIN_OK;
}

// For a text written through an out-parameter: only null_pointer and write.
// Caller holds state_mutex().
int set_raw_out_text(FnState& st, bool null_pointer, bool write) {
    const Reply* cur = st.reply.load(std::memory_order_relaxed);
    auto r = std::make_unique<Reply>();
    if (null_pointer) {
        r->data = nullptr;
    } else if (cur == nullptr || cur->use_default || cur->data == nullptr) {
        r->use_default = true;
    } else {
        r->storage = cur->storage;
        r->size = cur->size;
        r->data = r->storage.c_str();
    }
    r->write = write;
    publish(st, std::move(r));
    return STANDIN_OK;
}

// Looks a function up and checks it has one of the wanted capabilities.
int lookup(const char* fn, unsigned wanted, FnState*& st) {
    st = find_function(fn);
    if (st == nullptr) return STANDIN_UNKNOWN_FUNCTION;
    return (st->caps & wanted) != 0 ? STANDIN_OK : STANDIN_NOT_APPLICABLE;
}

}  // namespace

void reset_programming() {
    std::lock_guard lock(state_mutex());
    for (int i = 0; i < kFunctionCount; ++i) {
        kFunctions[i]->status.store(0);
        kFunctions[i]->reply.store(nullptr);
    }
    replies().clear();
}

}  // namespace standin

using namespace standin;

extern "C" int standin_set_status(const char* fn, int value) {
    FnState* st;
    if (int rc = lookup(fn, kStatus, st); rc != STANDIN_OK) return rc;
    st->status.store(value);
    return STANDIN_OK;
}

extern "C" int standin_set_response(const char* fn, const void* data, int len) {
    FnState* st;
    if (int rc = lookup(fn, kResponse, st); rc != STANDIN_OK) return rc;
    if (len < 0 || (data == nullptr && len > 0)) return STANDIN_BAD_ARGUMENT;
    std::string bytes =
        len > 0 ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(len)) : "";
    std::lock_guard lock(state_mutex());
    publish(*st, bytes_reply(std::move(bytes), len));
    return STANDIN_OK;
}

extern "C" int standin_set_response_raw(const char* fn, int null_pointer, int has_length, int length,
                                        int write) {
    FnState* st;
    if (int rc = lookup(fn, kResponse | kOutText, st); rc != STANDIN_OK) return rc;
    std::lock_guard lock(state_mutex());
    if ((st->caps & kResponse) != 0) {
        return set_raw_response(*st, null_pointer != 0, has_length != 0, length, write != 0);
    }
    if (has_length != 0) return STANDIN_NOT_APPLICABLE;
    return set_raw_out_text(*st, null_pointer != 0, write != 0);
}

extern "C" int standin_set_text(const char* fn, const char* text) {
    FnState* st;
    if (int rc = lookup(fn, kText | kOutText, st); rc != STANDIN_OK) return rc;
    auto r = text_reply_of(text);
    std::lock_guard lock(state_mutex());
    publish(*st, std::move(r));
    return STANDIN_OK;
}
