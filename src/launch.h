// SPDX-License-Identifier: MIT
// What the launcher asks of the library beyond orva_run: the settings of
// its command line, no descriptor kept, and the pause.
#pragma once

#include "settings.h"

namespace orva_internal {

struct Launch {
  // The command line's, or default_settings; the environment's are read
  // into it, once it is known whether to supervise at all.
  Settings settings;
  // The supervising process closes every descriptor above 2 once the
  // program runs: the launcher itself has no use for any.
  bool close_descriptors = false;
  // Called just before the fork. orva_run flushes stdio there; the
  // launcher, which uses none, leaves it out, and with it stdio itself.
  void (*before_fork)() = nullptr;
};

// orva_run with what the launcher read from its command line.
[[nodiscard]] int run(int (*submain)(int, char **), int argc, char **argv,
                      Launch &launch);

// Runs no program: reaps whatever is handed to it until the first stop
// signal, then gives 0. The process that holds a pod's namespaces.
[[nodiscard]] int pause(Launch &launch);

} // namespace orva_internal
