// SPDX-License-Identifier: MIT
// Line, one line of the report on stderr; its parts in the order a line is
// built, then emit(), then the one append every part goes through.
#include "line.h"

#include "processes.h"
#include "settings.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// Every buffer here is a plain array on the stack: nothing may allocate,
// and no C++ library header is at hand.
// NOLINTBEGIN(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
namespace orva_internal {
namespace {

// Enough for a name or two; a longer list of processes is cut short.
constexpr size_t kMaxListed = 32;

// The cut mark and the newline always find room.
constexpr size_t kCutMark = 3;
constexpr size_t kKept = kCutMark + 1;
static_assert(Line::kCapacity > kKept, "no room for the cut mark");

[[nodiscard]] bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

} // namespace

Line::Line(const char *prefix) { text(prefix); }

Line &Line::text(const char *part) { return escaped(part, strlen(part)); }

Line &Line::whole(const char *part) {
  if (state_ == State::Open) {
    state_ = State::Streaming;
  }
  return text(part);
}

Line &Line::escaped(const char *part, size_t length) {
  // One character at a time, so that a cut never splits an escape.
  for (size_t i = 0;
       i < length && (state_ == State::Open || state_ == State::Streaming);
       ++i) {
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
  if (signal_name(sig) != nullptr || (sig >= SIGRTMIN && sig <= SIGRTMAX)) {
    return text("SIG").signal_setting(sig);
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
  Listing listing;
  const bool known = each_process([&](const ProcessStat &process) {
    if (process.pid == 1 || process.state == 'Z' || process.state == 'X' ||
        (pgrp != 0 && process.pgrp != pgrp)) {
      return true;
    }
    return list(process, listing);
  });
  if (!known) {
    return text(" (unknown: /proc is not this namespace's)");
  }
  return end_list(listing);
}

bool Line::list(const ProcessStat &process, Listing &listing) {
  if (listing.listed == kMaxListed) {
    ++listing.more;
    return true;
  }
  text(listing.listed == 0 ? " " : ", ").number(process.pid).text(" (");
  escaped(process.name, process.name_length).text(")");
  ++listing.listed;
  // Once the line is cut nothing more can show, so /proc is left alone.
  return state_ != State::Cut;
}

Line &Line::end_list(const Listing &listing) {
  if (listing.listed == 0) {
    return text(" none");
  }
  if (listing.more > 0) {
    text(" and ").number(static_cast<long long>(listing.more)).text(" more");
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
  write_out();
}

void Line::append(const char *unit, size_t length) {
  if (state_ == State::Cut || state_ == State::Sent) {
    return;
  }
  // While open, size_ <= kCapacity - kKept: the difference cannot wrap.
  if (length > kCapacity - kKept - size_ && state_ == State::Streaming) {
    write_out();
  } else if (length > kCapacity - kKept - size_) {
    memcpy(buffer_ + size_, "...", kCutMark);
    size_ += kCutMark;
    state_ = State::Cut;
    return;
  }
  memcpy(buffer_ + size_, unit, length);
  size_ += length;
}

void Line::write_out() {
  if (write_all(STDERR_FILENO, buffer_, size_) == EPIPE) {
    // The failed write raised SIGPIPE at the supervisor, where it is
    // blocked: taken now, it is not forwarded as if someone had sent it,
    // which would only bring another line and another SIGPIPE.
    sigset_t pipe;
    (void)sigemptyset(&pipe);
    (void)sigaddset(&pipe, SIGPIPE);
    const timespec now{.tv_sec = 0, .tv_nsec = 0};
    (void)sigtimedwait(&pipe, nullptr, &now);
  }
  size_ = 0;
}

int write_all(int fd, const char *data, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return written < 0 ? errno : EIO;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

void report_error(const char *call) {
  const int error = errno;
  Line().text(call).text(": ").text(strerror(error)).emit();
  errno = error;
}

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

} // namespace orva_internal
// NOLINTEND(*-avoid-c-arrays,*-pro-bounds-array-to-pointer-decay,*-pro-bounds-constant-array-index)
