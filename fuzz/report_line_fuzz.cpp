// SPDX-License-Identifier: MIT
// Fuzzes the verbose report's line builder with random sequences of parts:
// texts, names of any bytes, numbers, signals, wait statuses, spans and
// emits. After every call the line keeps what it held, stays within its
// buffer and holds no raw control character; a cut line takes nothing
// more; the first emit writes the line once with its newline, and later
// ones write nothing. Texts, names and numbers are checked against a model
// of the escaping and the cut besides.
#include "line.h"
#include "settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace {

using orva_internal::Line;

// What the parts may fill: room stays for the cut mark and the newline.
constexpr size_t kRoom = Line::kCapacity - 4;

// Descriptor 2 while a line is emitted: a seqpacket socket keeps each
// write(2) apart from the next.
int emitted[2] = {-1, -1};

[[noreturn]] void fail(const char *what, const std::string &line) {
  fprintf(stderr, "orva: fuzz: %s; the line, %zu bytes: ", what, line.size());
  for (const char c : line) {
    fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
  }
  fprintf(stderr, "\n");
  abort();
}

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// `line` with `part` appended as the builder should: whole characters,
// control ones as \xHH, while they fit; then "..." once.
std::string model(std::string line, const std::string &part) {
  for (const char c : part) {
    char unit[5] = {c, '\0'};
    if (is_control(c)) {
      (void)snprintf(unit, sizeof unit, "\\x%02x",
                     static_cast<unsigned char>(c));
    }
    if (line.size() + strlen(unit) > kRoom) {
      return line + "...";
    }
    line += unit;
  }
  return line;
}

std::string held(const Line &line) { return {line.data(), line.size()}; }

class Input {
public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  [[nodiscard]] bool empty() const { return size_ == 0; }
  uint64_t bytes(size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count && size_ > 0; ++i, ++data_, --size_) {
      value = (value << 8) | *data_;
    }
    return value;
  }
  std::string take(size_t count) {
    count = count < size_ ? count : size_;
    std::string part(reinterpret_cast<const char *>(data_), count);
    data_ += count;
    size_ -= count;
    return part;
  }

private:
  const uint8_t *data_;
  size_t size_;
};

// Emits `line` into the socket and gives what arrived in one write, or
// nothing; more than one write fails.
std::optional<std::string> emit(Line &line) {
  const int saved = dup(STDERR_FILENO);
  (void)dup2(emitted[1], STDERR_FILENO);
  line.emit();
  (void)dup2(saved, STDERR_FILENO);
  (void)close(saved);
  char packet[2 * Line::kCapacity];
  std::optional<std::string> first;
  ssize_t got = 0;
  while ((got = recv(emitted[0], packet, sizeof packet, MSG_DONTWAIT)) >= 0) {
    if (first) {
      fail("a second write", held(line));
    }
    first.emplace(packet, static_cast<size_t>(got));
  }
  return first;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, emitted) != 0) {
    perror("orva: fuzz: socketpair");
    abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input input(data, size);
  Line line;
  if (held(line) != "orva: ") {
    fail("a new line without its prefix", held(line));
  }
  bool sent = false;
  while (!input.empty()) {
    const std::string before = held(line);
    const bool was_cut = line.is_cut();
    std::optional<std::string> expected;
    switch (input.bytes(1) % 7) {
    case 0: {
      // A C string ends at its first NUL.
      const std::string part = input.take(input.bytes(1));
      line.text(part.c_str());
      expected = model(before, part.c_str());
      break;
    }
    case 1: {
      // Four at a time reaches the end of the line with few parts.
      const std::string part = input.take(input.bytes(1) * 4);
      line.escaped(part.data(), part.size());
      expected = model(before, part);
      break;
    }
    case 2: {
      const auto value = static_cast<long long>(input.bytes(8));
      line.number(value);
      expected = model(before, std::to_string(value));
      break;
    }
    case 3:
      line.signal(static_cast<int>(input.bytes(4)));
      break;
    case 4:
      line.status(static_cast<int>(input.bytes(4)));
      break;
    case 5:
      // The spans process 1 reports are its own clock's, never huge.
      line.milliseconds(
          {.tv_sec = static_cast<time_t>(input.bytes(4)),
           .tv_nsec = static_cast<long>(input.bytes(4) % 1'000'000'000)});
      break;
    default: {
      const std::optional<std::string> written = emit(line);
      if (sent ? written.has_value() : written != before + "\n") {
        fail(sent ? "a second emit wrote" : "the emit did not write the line",
             before);
      }
      sent = true;
      continue;
    }
    }
    const std::string now = held(line);
    if ((was_cut || sent) && now != before) {
      fail("took more once cut or sent", now);
    }
    if (sent) {
      continue;
    }
    if (now.size() > Line::kCapacity - 1) {
      fail("past its buffer", now);
    }
    if (now.compare(0, before.size(), before) != 0) {
      fail("lost what it held", now);
    }
    for (const char c : now) {
      if (is_control(c)) {
        fail("a raw control character", now);
      }
    }
    if (line.is_cut() && now.compare(now.size() - 3, 3, "...") != 0) {
      fail("cut without its mark", now);
    }
    if (expected && !was_cut && now != *expected) {
      fail("not what the model expected", now);
    }
  }
  return 0;
}
