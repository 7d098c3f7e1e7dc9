// Creating the session file without ever touching a file that is there
// already: an earlier recording under the name asked for is kept, and the
// new one takes the next free numbered name (day.qvs, day.1.qvs, day.2.qvs,
// ...). A link, a FIFO, a device or a folder at the name is refused: it is
// not an earlier recording, and writing "next to" it would surprise.
#pragma once

#include <cstddef>

namespace qvrec {

struct CreatedFile {
    int fd = -1;        // O_WRONLY, O_CLOEXEC, flock'ed exclusively
    char path[4096];    // the name it was created under
    char problem[1200]; // why not, when fd < 0
};

// Creates `asked` or its next free numbered name, 0600.
bool create_session_file(const char* asked, CreatedFile& out) noexcept;

// "day.qvs" and 3 -> "day.3.qvs"; false when it does not fit.
bool numbered_name(const char* asked, unsigned n, char* out, std::size_t room) noexcept;

} // namespace qvrec
