// Which system-specific calls the POSIX platform files may use. Linux-only calls (pipe2, pidfd,
// close_range) sit behind TALVANE_LINUX_CALLS, each with a portable fallback that other systems
// take. The TALVANE_PORTABLE_POSIX build turns them off on Linux too, so the fallbacks are tested.
#pragma once

#if defined(__linux__) && !defined(TALVANE_PORTABLE_POSIX)
#define TALVANE_LINUX_CALLS 1
#else
#define TALVANE_LINUX_CALLS 0
#endif
