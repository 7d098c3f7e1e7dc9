// Starting the writer: a program of its own (qvrec-writer, next to the
// session tools), not a fork of the recorded process. A fork would share
// every page of a large process copy-on-write for as long as the writer
// lives, and would run the program's fork handlers.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace qvrec {

// Runs the writer (its path into `program`) with the ring file on descriptor 3 and the session file
// on 4, and nothing of the process's on 0 to 2. It is a child whose end
// raises no SIGCHLD and that wait(), waitpid(-1) and their kin never
// return, so a program reaping its children never sees it. Returns its pid,
// or -1 with errno set.
pid_t spawn_writer(int ring_fd, int session_fd, char* program, std::size_t room) noexcept;

// Reaps the writer's parent if it has ended (with `wait`: once it has).
void reap_writer(bool wait) noexcept;

} // namespace qvrec
