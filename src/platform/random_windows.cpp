#include <windows.h>
// bcrypt.h builds on the types windows.h defines.
#include <bcrypt.h>

#include <algorithm>
#include <cstddef>

#include "platform/random.h"

namespace platform {
namespace {

// Both generators take the length as a ULONG.
constexpr std::size_t LARGEST_CALL = 0xFFFFFFFFu;

// RtlGenRandom, exported by advapi32 as SystemFunction036; the fallback when the CNG provider
// cannot be used (seen on some stripped-down systems).
using RtlGenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);

bool fill_from_rtl_gen_random(std::uint8_t* out, std::size_t size) {
  HMODULE advapi = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (advapi == nullptr) return false;
  const auto gen = reinterpret_cast<RtlGenRandomFn>(
      reinterpret_cast<void*>(GetProcAddress(advapi, "SystemFunction036")));
  bool ok = gen != nullptr;
  while (ok && size > 0) {
    const ULONG n = static_cast<ULONG>(std::min<std::size_t>(size, LARGEST_CALL));
    ok = gen(out, n) != FALSE;
    out += n;
    size -= n;
  }
  FreeLibrary(advapi);
  return ok;
}

}  // namespace

Result<void> fill_random(std::uint8_t* out, std::size_t size) {
  std::uint8_t* cursor = out;
  std::size_t left = size;
  while (left > 0) {
    const ULONG n = static_cast<ULONG>(std::min<std::size_t>(left, LARGEST_CALL));
    const NTSTATUS status = BCryptGenRandom(nullptr, cursor, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) break;
    cursor += n;
    left -= n;
  }
  if (left == 0) return {};
  if (fill_from_rtl_gen_random(out, size)) return {};
  return Error("no random bytes from the system");
}

}  // namespace platform
