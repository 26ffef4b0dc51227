// The device library's process-wide state (its clock, its platform, its
// trace sink) installed for the length of a test. Leaving the scope closes
// the library before the platform it talks through is removed, so no test
// leaves a library open on a backend that is about to be destroyed.
#pragma once

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/platform.h"
#include "devlib/trace.h"

namespace lumavix::test {

class LibraryScope {
 public:
  // `clock` null: the real clock.
  LibraryScope(Clock* clock, const Platform& platform) {
    set_clock(clock);
    set_platform(platform);
  }
  ~LibraryScope() {
    kvVidHidCls_DeInit();
    set_platform({});
    set_clock(nullptr);
    set_trace_sink({});
  }
  LibraryScope(const LibraryScope&) = delete;
  LibraryScope& operator=(const LibraryScope&) = delete;

  // Another platform in the middle of a test: the library is closed first.
  void install(const Platform& platform) {
    kvVidHidCls_DeInit();
    set_platform(platform);
  }
};

}  // namespace lumavix::test
