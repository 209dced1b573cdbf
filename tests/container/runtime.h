// SPDX-License-Identifier: MIT
// Runs OCI bundles, built from this build's own files, under runc or
// another OCI runtime.
#pragma once

#include "harness.h"

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orva_test {

// The host's busybox-static, or "" when it is not installed.
std::string busybox_path();
// Why busybox-static or one of `programs` is not installed, or "".
std::string missing(std::initializer_list<const char *> programs);
// Fills `root` with the host's busybox-static as /bin/busybox and a link
// to it for every applet in /bin; returns "" or why not.
std::string busybox_root(const std::string &root);

// Detaches whatever is mounted below `dir`, deepest first, so that the
// directory can go.
void unmount_below(const std::string &dir);

// A new directory in /tmp for the sockets and run-time state of the
// runtimes and engines a test starts, which a deep build tree cannot hold:
// a socket's path takes 107 bytes at most, containerd's 104, and Podman
// wants a run root of 50 characters at most. It goes, with whatever is
// still mounted below it, at the end of its scope.
class ShortDir {
public:
  ShortDir();
  ~ShortDir();
  ShortDir(const ShortDir &) = delete;
  ShortDir &operator=(const ShortDir &) = delete;
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

// Why containers cannot run here, or "" when they can. Probed once.
const std::string &runtime_unavailable_reason();

// Skips the test when the runtime cannot run containers here, or fails it when
// ORVA_REQUIRE_PID1 is set (CI must not pass on a skip).
#define ORVA_REQUIRE_RUNC()                                                    \
  ORVA_REQUIRE(::orva_test::runtime_unavailable_reason(), "container tests")

// One bundle and one container id; the container is deleted and the bundle
// removed whatever the test's outcome.
class Container {
public:
  // Writes a bundle into the directory it is given; returns "" or why not.
  using BundleMaker = std::function<std::string(const std::string &dir)>;

  // A bundle of the shared root filesystem.
  Container();
  // A bundle that `make` writes, such as an unpacked image: its process,
  // environment and mounts stay as they are.
  explicit Container(const BundleMaker &make);
  ~Container();
  Container(const Container &) = delete;
  Container &operator=(const Container &) = delete;

  const std::string &id() const { return id_; }
  // The bundle's config with terminal off and, where this machine needs
  // it, no resource settings; for the shared root, the runtime's own
  // default config with PATH=/bin and a writable root.
  nlohmann::json &config() { return config_; }
  void args(const std::vector<std::string> &argv);
  void env(const std::string &assignment);
  void user(unsigned uid, unsigned gid);
  void readonly(bool on);

  // `run` in the foreground: its exit status is the container's. A start
  // that the runtime itself reports as failed is made once more.
  Result run(milliseconds limit = 20s);
  // `run` in the background, for a test that signals or inspects the
  // running container. Given a descriptor, the runtime hands it to the
  // container as descriptor 3 and leaves at once (--detach), so that it
  // keeps no copy itself; the container's end is then the end of its
  // output.
  Process &start(int descriptor = -1);
  // Whether a container that ended before its program came up was refused
  // by the runtime itself (an error of its own on stderr), rather than
  // ended by the program; if so, it is deleted, ready to be started again.
  bool refused_by_runtime(const Result &ended);
  Result kill(const std::string &signal);
  Result exec(const std::vector<std::string> &argv);

  // Set when the bundle could not be made; the test should fail with it.
  const std::string &error() const { return error_; }

private:
  std::string id_;
  std::string dir_;
  nlohmann::json config_;
  std::string error_;
  std::unique_ptr<Process> running_;
};

struct ProcessCount {
  int zombies = 0;
  int orphans_alive = 0;
};

// Waits until no process with the arguments `orphan` is left running, then
// counts zombies in the container as its own ps (/bin/busybox) sees them,
// after up to 2 s for process 1 to reap the last ones.
::testing::AssertionResult
orphans_gone(Container &box, const std::string &orphan, ProcessCount &count);
// The same through any way of running a command in the container.
using Exec = std::function<Result(const std::vector<std::string> &)>;
::testing::AssertionResult
orphans_gone(const Exec &exec, const std::string &orphan, ProcessCount &count);

} // namespace orva_test
