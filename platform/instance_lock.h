// What a program saw when it took the lock that keeps one copy of it
// running. Each system's lock tells these apart in its own way (a held
// flock; a mutex that exists or may not be opened); the window decides on
// them by one rule (EndsAsSecondCopy in the window's core).
#pragma once

#include <cstdint>

namespace lumavix {

enum class InstanceLock : std::uint8_t {
  // This copy holds the lock for its life.
  Taken,
  // A running copy holds it: the lock lives only as long as its owner.
  HeldByRunningCopy,
  // No lock could be made or opened for a reason that says nothing about
  // another copy (no runtime folder, a lock file left by another user).
  Unavailable,
};

}  // namespace lumavix
