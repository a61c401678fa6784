#include <winsock2.h>
// The socket definitions above come first: mstcpip.h builds on them.
#include <mstcpip.h>

#include "platform/socket.h"

namespace platform {

void fail_refused_connect_at_once(std::uintptr_t native_socket) {
  TCP_INITIAL_RTO_PARAMETERS params{};
  params.Rtt = TCP_INITIAL_RTO_UNSPECIFIED_RTT;
  params.MaxSynRetransmissions = TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS;
  DWORD returned = 0;
  // Older systems refuse the control code; the connection then only takes longer to fail.
  WSAIoctl(static_cast<SOCKET>(native_socket), SIO_TCP_INITIAL_RTO, &params, sizeof params, nullptr,
           0, &returned, nullptr, nullptr);
}

}  // namespace platform
