// SPDX-License-Identifier: MIT
#include "fault_run.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <sstream>

namespace orva_test {
namespace {

std::vector<std::string> driver_env(const DriverOptions &options) {
  std::vector<std::string> env;
  if (const char *path = getenv("PATH")) {
    env.push_back(std::string("PATH=") + path);
  }
  // The fault library comes ahead of the sanitizer runtime in the link
  // order, which ASan refuses unless told that this is on purpose.
  std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
  if (const char *given = getenv("ASAN_OPTIONS")) {
    asan += std::string(":") + given;
  }
  env.push_back(asan);
  if (const char *given = getenv("UBSAN_OPTIONS")) {
    env.push_back(std::string("UBSAN_OPTIONS=") + given);
  }
  // A soak's delays reach the driver too, through the same library.
  bool delayed = false;
  for (const char *name : {"ORVA_FAULT_DELAY", "ORVA_FAULT_PROGRAM_DELAY"}) {
    if (const char *given = getenv(name)) {
      env.push_back(std::string(name) + "=" + given);
      delayed = true;
    }
  }
  if (options.preload || delayed) {
    env.push_back(std::string("LD_PRELOAD=") + ORVA_FAULT_LIBRARY);
  }
  env.insert(env.end(), options.env.begin(), options.env.end());
  return env;
}

} // namespace

Process start_driver(const DriverOptions &options) {
  return Process(
      joined(joined(options.wrapper, {ORVA_FAULT_DRIVER}), options.args),
      {.pid1 = true, .env = driver_env(options), .clean_env = true});
}

long long monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

std::vector<long long> fault_stamps(const std::string &out,
                                    const std::string &prefix) {
  std::vector<long long> stamps;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t at = line.rfind(" at=");
    if (line.rfind(prefix, 0) == 0 && at != std::string::npos) {
      stamps.push_back(std::stoll(line.substr(at + 4)));
    }
  }
  return stamps;
}

std::string perror_line(const std::string &what, int error) {
  return what + ": " + strerror(error) + "\n";
}

} // namespace orva_test
