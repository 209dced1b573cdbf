// SPDX-License-Identifier: MIT
#include "loopback.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace orva_test {
namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

} // namespace

int listen_on_loopback(int &port) {
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  auto *any = reinterpret_cast<sockaddr *>(&address);
  if (sock < 0 || bind(sock, any, size) != 0 || listen(sock, 8) != 0 ||
      getsockname(sock, any, &size) != 0) {
    if (sock >= 0) {
      close(sock);
    }
    return -1;
  }
  port = ntohs(address.sin_port);
  return sock;
}

std::string answer_from(int port, std::chrono::seconds limit) {
  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval wait{.tv_sec = limit.count(), .tv_usec = 0};
  (void)setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const sockaddr_in address = loopback(port);
  std::string answer;
  if (connect(sock, reinterpret_cast<const sockaddr *>(&address),
              sizeof address) != 0) {
    answer = strerror(errno);
  } else {
    char text[64] = {};
    const ssize_t got = read(sock, text, sizeof text - 1);
    answer = got > 0    ? std::string(text, static_cast<size_t>(got))
             : got == 0 ? "nothing"
                        : strerror(errno);
  }
  close(sock);
  return answer;
}

} // namespace orva_test
