// The end of a recording as its writer or a salvage sees it, and what a
// session holds as the shared memory says (what `record` and `recover`
// report, with no need to read the session file again).
#pragma once

#include "ring.hpp"

namespace qvrec {

// Every committed frame is in the file (unless the writer stopped): the
// rings go, unless whoever gave their folder collects them.
void finish(Shared* sh, int ring_fd) noexcept;

// One JSON line on stdout: the session file, its counts, and whether its
// writer and its process still run. 0, or 1 with a line on stderr.
int report_status(const char* ring) noexcept;

// Writes what a dead writer left into its session file, then reports as
// report_status does. Refused while the writer or the process still runs.
int recover(const char* ring) noexcept;

} // namespace qvrec
