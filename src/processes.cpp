// SPDX-License-Identifier: MIT
// The processes of this PID namespace as /proc shows them: each_process
// walks them, for the verbose report and for ending what is left below the
// supervisor. What /proc says comes from the processes themselves (their
// names), so every read is bounded and every field checked.
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// NOLINTBEGIN(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
namespace orva_internal {
namespace {

// /proc shows the PID namespace it was mounted for, which need not be
// ours: a namespace made without a mount of its own sees the host's.
[[nodiscard]] bool proc_is_ours() {
  char self[16];
  const ssize_t n = readlink("/proc/self", self, sizeof self - 1);
  if (n <= 0) {
    return false;
  }
  self[n] = '\0';
  char mine[kDecimalSize];
  return strcmp(self, decimal(getpid(), mine)) == 0;
}

// Reads /proc/PID/stat into `buffer`, NUL-terminated; false when the
// process is gone or the file cannot be read.
[[nodiscard]] bool read_stat(long pid, char *buffer, size_t size) {
  constexpr size_t kPrefix = sizeof "/proc/" - 1;
  char path[kPrefix + kDecimalSize + sizeof "/stat"];
  char digits[kDecimalSize];
  const char *number = decimal(pid, digits);
  const size_t length = strlen(number);
  memcpy(path, "/proc/", sizeof "/proc/");
  memcpy(path + kPrefix, number, length + 1);
  memcpy(path + kPrefix + length, "/stat", sizeof "/stat");
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ssize_t got = -1;
  for (;;) {
    got = read(fd, buffer, size - 1);
    if (got >= 0 || errno != EINTR) {
      break;
    }
  }
  (void)close(fd);
  if (got <= 0) {
    return false;
  }
  buffer[got] = '\0';
  return true;
}

// "pid (name) state ppid pgrp ...": the name may hold blanks and
// parentheses, so it ends at the last ')'.
[[nodiscard]] bool parse_stat(const char *stat, ProcessStat &out) {
  const char *open_paren = strchr(stat, '(');
  const char *close_paren = strrchr(stat, ')');
  if (open_paren == nullptr || close_paren == nullptr ||
      close_paren < open_paren) {
    return false;
  }
  // " S ppid pgrp": the state letter, then two numbers.
  const char *field = close_paren + 1;
  if (field[0] != ' ' || field[1] == '\0' || field[2] != ' ') {
    return false;
  }
  char *end = nullptr;
  const char *ppid = field + 3;
  const long parent = strtol(ppid, &end, 10);
  if (end == ppid) {
    return false;
  }
  const char *pgrp = end;
  const long group = strtol(pgrp, &end, 10);
  if (end == pgrp) {
    return false;
  }
  out.state = field[1];
  out.ppid = parent;
  out.pgrp = group;
  out.name = open_paren + 1;
  out.name_length = static_cast<size_t>(close_paren - out.name);
  return true;
}

} // namespace

bool each_process(bool (*take)(const ProcessStat &, void *), void *context) {
  if (!proc_is_ours()) {
    return false;
  }
  const int dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return false;
  }
  struct Walk {
    bool (*take)(const ProcessStat &, void *);
    void *context;
  } walk{take, context};
  each_numbered_entry(dir, [&walk](unsigned long pid) {
    char stat[512];
    ProcessStat process;
    process.pid = static_cast<long>(pid);
    if (!read_stat(process.pid, stat, sizeof stat) ||
        !parse_stat(stat, process)) {
      return true;
    }
    return walk.take(process, walk.context);
  });
  (void)close(dir);
  return true;
}

long parent_of(long pid) {
  char stat[512];
  ProcessStat process;
  if (!read_stat(pid, stat, sizeof stat) || !parse_stat(stat, process)) {
    return 0;
  }
  return process.ppid;
}

} // namespace orva_internal
// NOLINTEND(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
