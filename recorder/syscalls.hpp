// System calls newer than the oldest C library the wheels are built for
// (glibc 2.17, manylinux2014): called by number, as the kernel numbers them
// on x86-64, where the headers do not name them. A kernel without one
// answers ENOSYS, and every caller has a way without it.
#pragma once

#include <sys/syscall.h>

namespace qvrec::sys {

#ifdef SYS_getrandom
constexpr long kGetrandom = SYS_getrandom;
#else
constexpr long kGetrandom = 318;
#endif
#ifdef SYS_pidfd_open
constexpr long kPidfdOpen = SYS_pidfd_open;
#else
constexpr long kPidfdOpen = 434;
#endif
#ifdef SYS_close_range
constexpr long kCloseRange = SYS_close_range;
#else
constexpr long kCloseRange = 436;
#endif

} // namespace qvrec::sys
