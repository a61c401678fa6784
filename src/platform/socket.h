// Socket settings that have no portable spelling. The socket is passed as its native handle
// (a SOCKET on Windows, a descriptor elsewhere) widened to an integer.
#pragma once

#include <cstdint>

namespace platform {

// Makes a connection attempt that the peer refuses fail at once. Windows otherwise retransmits
// the SYN after a refusal (about two seconds on loopback) before it reports the refusal; other
// systems already fail at once, and there this does nothing. Failures are ignored: the socket
// then keeps the system's default. Call on an open socket before connecting. Any thread.
void fail_refused_connect_at_once(std::uintptr_t native_socket);

}  // namespace platform
