// SPDX-License-Identifier: MIT
// Runs each argument as a shell command, in order, and stops at the first
// one that fails. The exit code is that command's (128 + n when signal n
// ended it), or 0 when all succeeded.
//
//   ./batch 'make -C /src' 'run-tests --quick'
//
// As a container's process 1, orva reaps whatever the commands leave
// running in the background once it exits, and forwards a stop request to
// the commands as well as to batch itself: they share its process group.
#include <orva.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

int exit_code_of(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 1;
}

int run_batch(int argc, char **argv) {
  // Exceptions stop here: main's caller expects an exit code, not a throw.
  try {
    const std::vector<std::string> commands(argv + 1, argv + argc);
    if (commands.empty()) {
      std::cerr << "usage: batch COMMAND...\n";
      return 64;
    }
    for (std::size_t i = 0; i < commands.size(); ++i) {
      std::cout << "batch: [" << i + 1 << '/' << commands.size() << "] "
                << commands[i] << std::endl;
      const int status = std::system(commands[i].c_str());
      if (status == -1) {
        std::perror("batch: system");
        return 1;
      }
      if (const int code = exit_code_of(status); code != 0) {
        std::cout << "batch: stopped, exit code " << code << std::endl;
        return code;
      }
    }
    std::cout << "batch: all " << commands.size() << " succeeded" << std::endl;
    return 0;
  } catch (const std::exception &error) {
    std::cerr << "batch: " << error.what() << '\n';
    return 1;
  }
}

} // namespace

int main(int argc, char **argv) { return orva_run(run_batch, argc, argv); }
