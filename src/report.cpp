// SPDX-License-Identifier: MIT
// The verbose report of process 1: one line per event on stderr.
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// Every buffer here is a plain array on the stack: nothing may allocate,
// and no C++ library header is at hand.
// NOLINTBEGIN(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
namespace orva_internal {
namespace {

// Enough for a name or two; a longer list of processes is cut short.
constexpr size_t kMaxListed = 32;

[[nodiscard]] bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// Reads a whole small file into `buffer`, NUL-terminated; its length, or
// -1.
ssize_t read_small_file(const char *path, char *buffer, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  ssize_t got = -1;
  for (;;) {
    got = read(fd, buffer, size - 1);
    if (got >= 0 || errno != EINTR) {
      break;
    }
  }
  (void)close(fd);
  if (got >= 0) {
    buffer[got] = '\0';
  }
  return got;
}

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

// A process as /proc/PID/stat shows it: "pid (name) state ppid pgrp ...".
// The name may hold blanks and parentheses, so it ends at the last ')'.
struct ProcessStat {
  const char *name = nullptr;
  size_t name_length = 0;
  char state = '?';
  long pgrp = 0;
};

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
  (void)strtol(ppid, &end, 10);
  if (end == ppid) {
    return false;
  }
  const char *pgrp = end;
  const long group = strtol(pgrp, &end, 10);
  if (end == pgrp) {
    return false;
  }
  out.state = field[1];
  out.pgrp = group;
  out.name = open_paren + 1;
  out.name_length = static_cast<size_t>(close_paren - out.name);
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

// The cut mark and the newline always find room.
constexpr size_t kCutMark = 3;
constexpr size_t kKept = kCutMark + 1;
static_assert(Line::kCapacity > kKept, "no room for the cut mark");

} // namespace

const char *decimal(long long value, char (&buffer)[kDecimalSize]) {
  // Negated as unsigned, so that the smallest value has its digits too.
  unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                : static_cast<unsigned long long>(value);
  char *digit = buffer + kDecimalSize - 1;
  *digit = '\0';
  // The last digit always, 0 included; then as many as are left.
  *--digit = static_cast<char>('0' + (magnitude % 10));
  for (magnitude /= 10; magnitude != 0; magnitude /= 10) {
    *--digit = static_cast<char>('0' + (magnitude % 10));
  }
  if (value < 0) {
    *--digit = '-';
  }
  return digit;
}

void hex_escape(unsigned char byte, char (&escape)[5]) {
  constexpr const char *kHex = "0123456789abcdef";
  escape[0] = '\\';
  escape[1] = 'x';
  escape[2] = kHex[byte >> 4];
  escape[3] = kHex[byte & 0xf];
  escape[4] = '\0';
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
      if (!take(strtoul(name, nullptr, 10), context)) {
        return;
      }
    }
  }
}

Line::Line() { text("orva: "); }

void Line::append(const char *unit, size_t length) {
  if (state_ != State::Open) {
    return;
  }
  // While open, size_ <= kCapacity - kKept: the difference cannot wrap.
  if (length > kCapacity - kKept - size_) {
    memcpy(buffer_ + size_, "...", kCutMark);
    size_ += kCutMark;
    state_ = State::Cut;
    return;
  }
  memcpy(buffer_ + size_, unit, length);
  size_ += length;
}

Line &Line::text(const char *part) { return escaped(part, strlen(part)); }

Line &Line::escaped(const char *part, size_t length) {
  // One character at a time, so that a cut never splits an escape.
  for (size_t i = 0; i < length && state_ == State::Open; ++i) {
    if (is_control(part[i])) {
      char escape[5];
      hex_escape(static_cast<unsigned char>(part[i]), escape);
      append(escape, 4);
    } else {
      append(part + i, 1);
    }
  }
  return *this;
}

Line &Line::number(long long value) {
  char digits[kDecimalSize];
  return text(decimal(value, digits));
}

Line &Line::signal(int sig) {
  if (const char *name = signal_name(sig)) {
    return text("SIG").text(name);
  }
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
    return text("SIGRTMIN+").number(sig - SIGRTMIN);
  }
  return text("signal ").number(sig);
}

Line &Line::signal_setting(int sig) {
  if (const char *name = signal_name(sig)) {
    return text(name);
  }
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
    return text("RTMIN+").number(sig - SIGRTMIN);
  }
  return number(sig);
}

Line &Line::status(int status) {
  if (WIFEXITED(status)) {
    return text("exited with status ").number(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return text("killed by ").signal(WTERMSIG(status));
  }
  return text("ended with wait status ").number(status);
}

Line &Line::seconds(timespec span) {
  return number(static_cast<long long>(span.tv_sec)).text("s");
}

Line &Line::milliseconds(timespec span) {
  return number((static_cast<long long>(span.tv_sec) * 1000) +
                (span.tv_nsec / 1'000'000))
      .text(" ms");
}

Line &Line::running_processes(pid_t pgrp) {
  if (!proc_is_ours()) {
    return text(" (unknown: /proc is not this namespace's)");
  }
  const int dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return text(" (unknown: /proc cannot be read)");
  }
  size_t listed = 0;
  size_t more = 0;
  each_numbered_entry(dir, [&](unsigned long pid) {
    constexpr size_t kPrefix = sizeof "/proc/" - 1;
    char path[kPrefix + kDecimalSize + sizeof "/stat"];
    char stat[512];
    ProcessStat process;
    char digits[kDecimalSize];
    const char *number = decimal(static_cast<long long>(pid), digits);
    const size_t length = strlen(number);
    memcpy(path, "/proc/", kPrefix);
    memcpy(path + kPrefix, number, length);
    memcpy(path + kPrefix + length, "/stat", sizeof "/stat");
    if (pid == 1 || read_small_file(path, stat, sizeof stat) <= 0 ||
        !parse_stat(stat, process) || process.state == 'Z' ||
        process.state == 'X' || (pgrp != 0 && process.pgrp != pgrp)) {
      return true;
    }
    if (listed == kMaxListed) {
      ++more;
      return true;
    }
    text(listed == 0 ? " " : ", ")
        .number(static_cast<long long>(pid))
        .text(" (");
    escaped(process.name, process.name_length).text(")");
    ++listed;
    // Once the line is cut nothing more can show, so /proc is left alone.
    return state_ == State::Open;
  });
  (void)close(dir);
  if (listed == 0) {
    return text(" none");
  }
  if (more > 0) {
    text(" and ").number(static_cast<long long>(more)).text(" more");
  }
  return *this;
}

void Line::emit() {
  if (state_ == State::Sent) {
    return;
  }
  state_ = State::Sent;
  // The room kept for it: size_ < kCapacity here.
  buffer_[size_++] = '\n';
  ssize_t written = -1;
  for (;;) {
    written = write(STDERR_FILENO, buffer_, size_);
    if (written >= 0 || errno != EINTR) {
      break;
    }
  }
  if (written < 0 && errno == EPIPE) {
    // The failed write raised SIGPIPE at process 1, where it is blocked:
    // taken now, it is not forwarded as if someone had sent it, which
    // would only bring another line and another SIGPIPE.
    sigset_t pipe;
    (void)sigemptyset(&pipe);
    (void)sigaddset(&pipe, SIGPIPE);
    const timespec now{.tv_sec = 0, .tv_nsec = 0};
    (void)sigtimedwait(&pipe, nullptr, &now);
  }
}

} // namespace orva_internal
// NOLINTEND(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
