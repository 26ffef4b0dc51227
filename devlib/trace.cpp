#include "devlib/trace.h"
#include "devlib/file_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace lumavix {
namespace {

TraceSink g_sink;
bool g_enabled = false;
std::mutex g_write_mutex;

}  // namespace

void set_trace_sink(TraceSink sink) {
  g_sink = std::move(sink);
  g_enabled = static_cast<bool>(g_sink);
}

TraceSink trace_sink() { return g_sink; }

bool trace_enabled() { return g_enabled; }

void init_trace_from_environment() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* v = std::getenv("LUMAVIX_TRACE");
    if (!v || !*v) return;
    if (std::strcmp(v, "stderr") == 0) {
      set_trace_sink([](std::string_view line) {
        std::lock_guard lk(g_write_mutex);
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
      });
      return;
    }
    std::shared_ptr<FILE> f(open_file(path_from_utf8(v), "a"), [](FILE* p) {
      if (p) std::fclose(p);
    });
    if (!f) {
      std::fprintf(stderr, "warning: cannot open trace file %s: %s\n", v,
                   std::strerror(errno));
      return;
    }
    set_trace_sink([f](std::string_view line) {
      std::lock_guard lk(g_write_mutex);
      std::fprintf(f.get(), "%.*s\n", static_cast<int>(line.size()), line.data());
      std::fflush(f.get());
    });
  });
}

}  // namespace lumavix

void DebugTrace(const char* fmt, ...) {
  if (!lumavix::g_enabled) return;
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  std::size_t len = static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n)
                                                              : sizeof buf - 1;
  lumavix::g_sink(std::string_view(buf, len));
}
