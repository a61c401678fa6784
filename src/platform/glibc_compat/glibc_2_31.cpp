// Linked into the Linux release programs, which are built against glibc 2.31 but carry this
// machine's libstdc++ statically: two symbols that libstdc++ takes from newer C libraries.
#include <sys/random.h>

#include <cstdint>
#include <cstdlib>

extern "C" {

// libstdc++ skips atomic reference counts while this is non-zero. Zero keeps the atomic path,
// which is always correct; glibc keeps its own copy for its own use.
char __libc_single_threaded = 0;

// std::random_device's arc4random source (glibc 2.36): the same bytes through getentropy (2.25).
std::uint32_t arc4random() {
  std::uint32_t value;
  if (getentropy(&value, sizeof value) != 0) std::abort();
  return value;
}

}  // extern "C"
