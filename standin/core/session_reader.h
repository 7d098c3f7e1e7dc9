// Reading a session file (docs/session-file.md, versions 1 and 2): the file
// is mapped (read into the heap under AddressSanitizer, which watches heap
// blocks), and a cursor walks its frames one by one. Everything read
// points into the mapping, which lives until close(). Each frame is
// checksummed and its body checked once, when the cursor first reaches it;
// a frame whose body is not what its kind says comes back malformed, with
// malformation() telling why, and is never decoded further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_parts.h"
#include "functions.h"

namespace standin {

// Owns its mapping: closed on destruction, never copied.
class SessionFile {
public:
    SessionFile() = default;
    ~SessionFile() { close(); }
    SessionFile(const SessionFile&) = delete;
    SessionFile& operator=(const SessionFile&) = delete;

    // Maps and checks the header; false with `why` set when it cannot.
    bool open(const char* path, std::string& why);
    void close();
    bool is_open() const { return map_ != nullptr; }

    // The frame at the cursor; invalid at the end of the file or at a torn
    // last frame (see torn()).
    const View& peek();
    void consume();
    long long frames() const { return frames_; }  // consumed so far
    std::size_t offset() const { return peeked_.valid ? peeked_.offset : cursor_; }
    bool torn() const { return torn_; }
    // Why the frame at the cursor is malformed (View::malformed).
    const std::string& malformation() const { return malformation_; }

    // A recorded function index: the stand-in's function, and its name.
    const FnState* function(int index) const;
    const char* function_name(int index) const;

private:
    bool read_header(std::string& why);

    const char* map_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cursor_ = 0;
    long long frames_ = 0;
    View peeked_;
    bool ended_ = false;  // the cursor reached the end or a torn frame: peek() has nothing more
    bool torn_ = false;
    std::string malformation_;
    std::vector<RecArg> scratch_;  // for check_frame
    std::vector<const FnState*> fns_;
    std::vector<std::string> fn_names_;
};

}  // namespace standin
