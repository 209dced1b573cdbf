// SPDX-License-Identifier: MIT
// A server socket on 127.0.0.1 and a client of it, for the tests of socket
// activation.
#pragma once

#include <chrono>
#include <string>

namespace orva_test {

// A listening TCP socket on 127.0.0.1, inherited across exec, with the port
// the kernel chose in `port`; -1 on failure.
int listen_on_loopback(int &port);

// Connects to 127.0.0.1:port: the first line read within `limit`, or the
// text of the error, "Connection refused" when nobody listens.
std::string answer_from(int port,
                        std::chrono::seconds limit = std::chrono::seconds(2));

} // namespace orva_test
