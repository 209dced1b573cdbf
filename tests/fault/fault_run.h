// SPDX-License-Identifier: MIT
// Runs the fault driver as process 1 of a new PID namespace.
#pragma once

#include "harness.h"

#include <string>
#include <vector>

namespace orva_test {

struct DriverOptions {
  std::vector<std::string> env;       // NAME=VALUE, on top of a minimal set
  std::vector<std::string> args;      // driver options and steps
  bool preload = true;                // load the fault library
  std::vector<std::string> wrapper{}; // a command that runs the driver
};

// The driver as process 1, in an environment of its own.
Process start_driver(const DriverOptions &options);

// CLOCK_MONOTONIC in nanoseconds, the clock the fault library stamps with.
long long monotonic_ns();

// The stamps of the fault library's lines that start with `prefix`, such
// as "fault: kill sig=9 ", in the order written.
std::vector<long long> fault_stamps(const std::string &out,
                                    const std::string &prefix);

// The line perror(what) writes for `error`.
std::string perror_line(const std::string &what, int error);

} // namespace orva_test
