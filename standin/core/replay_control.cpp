// The controller's replay functions (standin_control.h).
#include <string>

#include "replay.h"

namespace {

// Why the calling thread's last standin_replay_start failed.
std::string& error_text() {
    thread_local std::string e;
    return e;
}

}  // namespace

using namespace standin;

extern "C" int standin_replay_start(const char* path, int paced) {
    error_text().clear();
    if (path == nullptr) {
        end_replay();
        return STANDIN_BAD_ARGUMENT;
    }
    std::string why;
    if (!start_replay(path, paced != 0, why)) {
        error_text() = why;
        return STANDIN_BAD_ARGUMENT;
    }
    // Starting a replay is a request for the stand-in's answers: only the
    // stand-in has this function, so the caller knows what it talks to. A
    // process that asked in no other way is answered from the file too.
    standin_ask();
    return STANDIN_OK;
}

extern "C" int standin_replay_finish(void) { return finish_replay() ? 1 : 0; }

extern "C" int standin_replay_active(void) { return replaying() ? 1 : 0; }

extern "C" const char* standin_replay_divergence(int part) { return divergence(part); }

extern "C" const char* standin_replay_error(void) { return error_text().c_str(); }

extern "C" long long standin_replay_frames(void) { return replay_frames(); }

extern "C" void standin_replay_set_normalizer(standin_normalizer normalizer) { set_normalizer(normalizer); }

extern "C" const char* standin_replay_divergent_request(int which, int* len) {
    const std::string* bytes = divergent_request(which);
    if (len != nullptr) *len = bytes != nullptr ? static_cast<int>(bytes->size()) : 0;
    return bytes != nullptr ? bytes->data() : nullptr;
}

extern "C" void standin_replay_set_divergence_hook(void (*hook)(void)) { set_divergence_hook(hook); }
