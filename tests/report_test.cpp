// SPDX-License-Identifier: MIT
// One line of the verbose report at the edge of its buffer. Line is
// internal, so this test is built from the library's own source rather
// than linked against it.
#include "line.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using orva_internal::Line;

// What the parts may fill: room stays for the cut mark and the newline.
constexpr size_t kRoom = Line::kCapacity - 4;
constexpr size_t kPrefix = sizeof "orva: " - 1;

std::string held(const Line &line) { return {line.data(), line.size()}; }

// Each write(2) to descriptor 2 while `body` runs: a seqpacket socket keeps
// one write apart from the next.
std::vector<std::string> writes_to_stderr(const std::function<void()> &body) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    ADD_FAILURE() << "socketpair: " << strerror(errno);
    return {};
  }
  const int saved = dup(STDERR_FILENO);
  (void)dup2(pair[1], STDERR_FILENO);
  body();
  (void)dup2(saved, STDERR_FILENO);
  (void)close(saved);
  (void)close(pair[1]);
  std::vector<std::string> writes;
  char packet[2 * Line::kCapacity];
  ssize_t got = 0;
  while ((got = recv(pair[0], packet, sizeof packet, MSG_DONTWAIT)) > 0) {
    writes.emplace_back(packet, static_cast<size_t>(got));
  }
  (void)close(pair[0]);
  return writes;
}

// A part fills the line to its last byte; the next one, a plain byte or a
// whole escape, cuts it with the mark and nothing of itself.
TEST(ReportLine, FillsToTheLastByteThenCuts) {
  const struct {
    size_t fill;      // bytes of 'a' after the prefix
    const char *next; // one character, escaped when a control one
    const char *tail; // how the line then ends
    bool cut;
  } cases[] = {
      {kRoom - kPrefix - 1, "b", "ab", false},
      {kRoom - kPrefix, "b", "a...", true},
      {kRoom - kPrefix - 4, "\x01", "a\\x01", false},
      {kRoom - kPrefix - 3, "\x01", "a...", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.fill << " then " << int{*c.next});
    Line line;
    line.text(std::string(c.fill, 'a').c_str()).escaped(c.next, 1);
    const std::string text = held(line);
    EXPECT_EQ(line.is_cut(), c.cut);
    EXPECT_LE(text.size(), Line::kCapacity - 1);
    EXPECT_EQ(text.substr(text.size() - strlen(c.tail)), c.tail);
  }
}

// The sequence that once ran past the buffer: many processes named with
// control characters. Cut once, the line stays as it is through any
// number of later parts of every kind, and goes out in one write.
TEST(ReportLine, ACutLineStaysCutAndIsWrittenOnce) {
  const char name[] = "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01"
                      "\x01\x01";
  Line line;
  line.text("stop timeout passed; still running:");
  for (int pid = 2; pid < 200; ++pid) {
    line.text(", ").number(pid).text(" (").escaped(name, sizeof name - 1);
    line.text(")");
    ASSERT_LE(line.size(), Line::kCapacity - 1);
  }
  ASSERT_TRUE(line.is_cut());
  const std::string cut = held(line);
  EXPECT_EQ(cut.find("..."), cut.size() - 3) << cut;
  for (int i = 0; i < 1000; ++i) {
    line.text("more").escaped("\n", 1).number(LLONG_MIN).signal(INT_MIN);
    line.status(0x7f).milliseconds({.tv_sec = 1, .tv_nsec = 0});
  }
  EXPECT_EQ(held(line), cut);
  const std::vector<std::string> writes = writes_to_stderr([&line] {
    line.emit();
    line.emit();
  });
  ASSERT_EQ(writes.size(), 1U);
  EXPECT_EQ(writes[0], cut + "\n");
  EXPECT_LE(writes[0].size(), Line::kCapacity);
}

} // namespace
