// bcryptprimitives.dll for a Wine prefix that lacks one (Wine 8), for the real-agent suite only:
// the Rust and Zig runtimes of the Windows agents import ProcessPrng from it, and the loader
// refuses to start them without it. Its one export takes its randomness from BCryptGenRandom.
#include <windows.h>
#include <bcrypt.h>

BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
  while (size > 0) {
    const ULONG chunk = size > 0x40000000 ? 0x40000000 : (ULONG)size;
    if (BCryptGenRandom(NULL, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return FALSE;
    data += chunk;
    size -= chunk;
  }
  return TRUE;
}
