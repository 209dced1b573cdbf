// SPDX-License-Identifier: MIT
// Processes and descriptors as /proc lists them, read without allocating.
// What /proc says comes from the processes themselves, so every read is
// bounded and every field checked.
#pragma once

#include <stddef.h>

namespace orva_internal {

// A process as /proc/PID/stat shows it. The name points into the walk's
// own buffer: it lasts as long as the call that is given it.
struct ProcessStat {
  long pid = 0;
  const char *name = nullptr;
  size_t name_length = 0;
  char state = '?';
  long ppid = 0;
  long pgrp = 0;
};

// Calls `take` for every process that /proc lists, until it gives false;
// false when /proc is not this PID namespace's or cannot be read.
[[nodiscard]] bool each_process(bool (*take)(const ProcessStat &, void *),
                                void *context);
template <typename Take> [[nodiscard]] bool each_process(Take take) {
  return each_process(
      [](const ProcessStat &process, void *context) {
        return (*static_cast<Take *>(context))(process);
      },
      &take);
}

// The parent of `pid`, or 0 once /proc cannot tell.
[[nodiscard]] long parent_of(long pid);

// Calls `take(number)` for every entry of the directory open at `dir`
// whose name is a decimal number (the pids of /proc, the descriptors of
// /proc/self/fd), until it gives false. The records are read straight from
// the kernel, since opendir would allocate, and each is checked against
// what was read.
void each_numbered_entry(int dir,
                         bool (*take)(unsigned long number, void *context),
                         void *context);
template <typename Take> void each_numbered_entry(int dir, Take take) {
  each_numbered_entry(
      dir,
      [](unsigned long number, void *context) {
        return (*static_cast<Take *>(context))(number);
      },
      &take);
}

} // namespace orva_internal
