// SPDX-License-Identifier: MIT
// The processes of this PID namespace as /proc shows them: each_process
// walks them, for the verbose report and for ending what is left below a
// subreaper; each_numbered_entry walks any directory of numbers.
#include "processes.h"

#include "line.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

// NOLINTBEGIN(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
namespace orva_internal {
namespace {

constexpr size_t kStatSize = 512; // pid, name, state, ppid, pgrp and more

[[nodiscard]] bool proc_is_ours();
[[nodiscard]] bool read_stat(long pid, ProcessStat &out, char *buffer,
                             size_t size);
[[nodiscard]] bool parse_stat(const char *stat, ProcessStat &out);
[[nodiscard]] bool read_field(const char *&at, long &value);
const char *record_name(const char *records, size_t got, size_t &at);

} // namespace

bool each_process(bool (*take)(const ProcessStat &, void *), void *context) {
  if (!proc_is_ours()) {
    return false;
  }
  const int dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return false;
  }
  each_numbered_entry(dir, [take, context](unsigned long pid) {
    char stat[kStatSize];
    ProcessStat process;
    if (!read_stat(static_cast<long>(pid), process, stat, sizeof stat)) {
      return true;
    }
    return take(process, context);
  });
  (void)close(dir);
  return true;
}

long parent_of(long pid) {
  char stat[kStatSize];
  ProcessStat process;
  return read_stat(pid, process, stat, sizeof stat) ? process.ppid : 0;
}

void each_numbered_entry(int dir, bool (*take)(unsigned long, void *),
                         void *context) {
  constexpr size_t kMaxDigits = 9; // every pid and descriptor number
  alignas(8) char records[4096];
  for (;;) {
    const long got = syscall(SYS_getdents64, dir, records, sizeof records);
    if (got <= 0) {
      return;
    }
    for (size_t at = 0; at < static_cast<size_t>(got);) {
      const char *name = record_name(records, static_cast<size_t>(got), at);
      if (name == nullptr) {
        break;
      }
      // Decimal, as the kernel writes numbers: no sign, no leading zero.
      const size_t digits = strspn(name, "0123456789");
      if (digits == 0 || digits > kMaxDigits || name[digits] != '\0' ||
          (name[0] == '0' && digits > 1)) {
        continue;
      }
      unsigned long number = 0;
      for (size_t i = 0; i < digits; ++i) {
        number = (number * 10) + static_cast<unsigned long>(name[i] - '0');
      }
      if (!take(number, context)) {
        return;
      }
    }
  }
}

namespace {

// /proc shows the PID namespace it was mounted for, which need not be
// ours: a namespace made without a mount of its own sees the host's.
bool proc_is_ours() {
  char self[16];
  const ssize_t n = readlink("/proc/self", self, sizeof self - 1);
  if (n <= 0) {
    return false;
  }
  self[n] = '\0';
  char mine[kDecimalSize];
  return strcmp(self, decimal(getpid(), mine)) == 0;
}

// Reads and parses /proc/PID/stat into `out`, its name in `buffer`; false
// when the process is gone or the file makes no sense.
bool read_stat(long pid, ProcessStat &out, char *buffer, size_t size) {
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
  ssize_t got = read(fd, buffer, size - 1);
  while (got < 0 && errno == EINTR) {
    got = read(fd, buffer, size - 1);
  }
  (void)close(fd);
  if (got <= 0) {
    return false;
  }
  buffer[got] = '\0';
  out.pid = pid;
  return parse_stat(buffer, out);
}

// "pid (name) state ppid pgrp ...": the name may hold blanks and
// parentheses, so it ends at the last ')'.
bool parse_stat(const char *stat, ProcessStat &out) {
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
  const char *number = field + 3;
  long parent = 0;
  long group = 0;
  if (!read_field(number, parent) || *number != ' ') {
    return false;
  }
  ++number;
  if (!read_field(number, group)) {
    return false;
  }
  out.state = field[1];
  out.ppid = parent;
  out.pgrp = group;
  out.name = open_paren + 1;
  out.name_length = static_cast<size_t>(close_paren - out.name);
  return true;
}

// A field of the stat line: digits alone, as the kernel writes a pid.
bool read_field(const char *&at, long &value) {
  constexpr long kMaxPid = 1L << 30;
  value = 0;
  const char *digit = at;
  for (; *digit >= '0' && *digit <= '9' && value < kMaxPid; ++digit) {
    value = (value * 10) + (*digit - '0');
  }
  if (digit == at || value >= kMaxPid) {
    return false;
  }
  at = digit;
  return true;
}

// The record layout of getdents64 (linux_dirent64): two 64-bit numbers,
// the record's length and type, then the name.
constexpr size_t kRecordLengthAt = 16;
constexpr size_t kNameAt = 19;

// The name of the record at `at` among the `got` bytes read, and the
// offset of the next record; NULL when no whole record is left, and ""
// for a name that does not end inside its own record.
const char *record_name(const char *records, size_t got, size_t &at) {
  if (got - at <= kNameAt) {
    at = got;
    return nullptr;
  }
  unsigned short length = 0;
  memcpy(&length, records + at + kRecordLengthAt, sizeof length);
  if (length <= kNameAt || length > got - at) {
    at = got;
    return nullptr;
  }
  const char *name = records + at + kNameAt;
  at += length;
  return memchr(name, '\0', length - kNameAt) != nullptr ? name : "";
}

} // namespace
} // namespace orva_internal
// NOLINTEND(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
