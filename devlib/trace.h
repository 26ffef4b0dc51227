// The library's debug sink. Lines are formatted printf-style and handed to a
// sink that discards them unless one is installed: the environment variable
// LUMAVIX_TRACE=stderr writes them to standard error, LUMAVIX_TRACE=<file>
// appends them to that file; front ends and tests may install their own.
#pragma once

#include <functional>
#include <string_view>

namespace lumavix {

using TraceSink = std::function<void(std::string_view line)>;

// Installs `sink` (an empty function restores discarding). Not to be called
// while other threads trace.
void set_trace_sink(TraceSink sink);

// The installed sink (empty when lines are discarded), so that a front end
// can add a sink of its own that also feeds the one already there.
[[nodiscard]] TraceSink trace_sink();

// Applies LUMAVIX_TRACE once; later calls do nothing.
void init_trace_from_environment();

// True when a sink is installed; lets callers skip formatting.
[[nodiscard]] bool trace_enabled();

}  // namespace lumavix

// Formats one trace line; a no-op without a sink.
void DebugTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
