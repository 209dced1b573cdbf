// SPDX-License-Identifier: MIT
// Time as the supervisor counts it: a span (Duration) and a point on
// CLOCK_MONOTONIC (Instant) are two types, so that a deadline cannot be
// handed where a timeout belongs. Sums saturate: a huge stop timeout means
// "never", not a deadline that wrapped into the past.
#pragma once

#include <time.h>

namespace orva_internal {

// No C++ library header: the same file builds against any C library alone.
static_assert(static_cast<time_t>(-1) < 0, "time_t must be signed");
// The longest span a timespec holds, in whole seconds.
constexpr time_t kMaxSeconds =
    static_cast<time_t>((1ULL << (sizeof(time_t) * 8 - 1)) - 1);
constexpr long kNanosPerSecond = 1'000'000'000;

struct Duration {
  timespec ts;
};

struct Instant {
  timespec ts;
};

[[nodiscard]] inline bool read_monotonic_clock(Instant &now) {
  return clock_gettime(CLOCK_MONOTONIC, &now.ts) == 0;
}

[[nodiscard]] constexpr Instant operator+(Instant at, Duration span) {
  constexpr Instant kNever{
      {.tv_sec = kMaxSeconds, .tv_nsec = kNanosPerSecond - 1}};
  if (span.ts.tv_sec > kMaxSeconds - at.ts.tv_sec) {
    return kNever;
  }
  timespec sum{.tv_sec = at.ts.tv_sec + span.ts.tv_sec,
               .tv_nsec = at.ts.tv_nsec + span.ts.tv_nsec};
  if (sum.tv_nsec >= kNanosPerSecond) {
    if (sum.tv_sec == kMaxSeconds) {
      return kNever;
    }
    sum.tv_nsec -= kNanosPerSecond;
    ++sum.tv_sec;
  }
  return Instant{sum};
}

[[nodiscard]] constexpr bool operator>=(Instant now, Instant deadline) {
  return now.ts.tv_sec > deadline.ts.tv_sec ||
         (now.ts.tv_sec == deadline.ts.tv_sec &&
          now.ts.tv_nsec >= deadline.ts.tv_nsec);
}

// Only meaningful while the deadline lies ahead of now.
[[nodiscard]] constexpr Duration operator-(Instant deadline, Instant now) {
  timespec left{.tv_sec = deadline.ts.tv_sec - now.ts.tv_sec,
                .tv_nsec = deadline.ts.tv_nsec - now.ts.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_nsec += kNanosPerSecond;
    --left.tv_sec;
  }
  return Duration{left};
}

[[nodiscard]] constexpr bool is_zero(timespec span) {
  return span.tv_sec == 0 && span.tv_nsec == 0;
}

[[nodiscard]] constexpr bool is_shorter(timespec span, timespec than) {
  return span.tv_sec < than.tv_sec ||
         (span.tv_sec == than.tv_sec && span.tv_nsec < than.tv_nsec);
}

} // namespace orva_internal
