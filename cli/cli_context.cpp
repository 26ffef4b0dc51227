#include "cli/cli_context.h"
#include "cli/commands.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <thread>

#include "cli/json_output.h"
#include "devlib/clock.h"
#include "devlib/file_io.h"
#include "devlib/frame.h"
#include "devlib/trace.h"
#include "devlib/writer_lock.h"
#include "platform/system_backends.h"
#include "sim/simulator.h"
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace lumavix::cli {

struct Context::Impl {
  std::unique_ptr<sim::Simulator> simulator;
  SystemBackends system;
  std::unique_ptr<PrefixedLockBackend> sim_writers;
  bool opened = false;
  nlohmann::ordered_json extra_fields = nlohmann::ordered_json::object();
  // Held from before the state file is loaded to after it is saved.
  std::unique_ptr<NamedLock> state_lock;
};

Context::Context(GlobalOptions opts) : opts_(std::move(opts)), impl_(std::make_unique<Impl>()) {}

namespace {

// Two runs on one state file take turns: the second waits for the first to
// save, so that it loads what the first left, and its own save at the end
// cannot undo the first's writes. The lock is the platform's named lock
// (this user's), named after the state file's absolute path.
constexpr std::uint32_t kStateLockWaitMs = 120000;
constexpr std::uint32_t kStateLockPollMs = 50;

#ifndef _WIN32
// SIGINT and SIGTERM while a state file is kept: the handler only writes
// the signal's number into a pipe; a thread of its own reads it, cuts the
// simulated cameras where the run left them, saves the state and ends the
// program with 128 + the signal's number, as an interrupted command ends.
int g_signal_pipe[2] = {-1, -1};
#endif

// The state file is saved by whoever ends the run: the command at its end,
// or the watch of the signals. Once the command has saved (and let the
// next run on the file go), a late signal saves nothing more. Not members:
// a signal may come while the context is being destroyed.
std::mutex g_save_mu;
bool g_saved_at_end = false;

#ifndef _WIN32

void on_stop_signal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  (void)!::write(g_signal_pipe[1], &b, 1);
  errno = saved;
}
#endif

}  // namespace

bool Context::take_state_lock() {
  SysError err;
  const std::string name = sim::simulated_camera_lock_prefix(opts_.sim_state) + "state";
  impl_->state_lock = impl_->system.locks().create(name, err);
  if (!impl_->state_lock) {
    setup_status_ = fail(kExitFailed, "--sim-state: cannot lock " + opts_.sim_state + ": " +
                                          err.message);
    return false;
  }
  Clock& clock = lumavix::clock();
  const std::uint32_t start = clock.ticks_ms();
  bool told = false;
  while (!impl_->state_lock->try_acquire()) {
    if (clock.ticks_ms() - start >= kStateLockWaitMs) {
      impl_->state_lock.reset();
      setup_status_ = fail(kExitFailed,
                           "--sim-state: " + opts_.sim_state + " is still in use by another run "
                           "after " + std::to_string(kStateLockWaitMs / 1000) +
                           " s; nothing was done");
      return false;
    }
    if (!told) {
      std::cerr << "waiting for another run to finish with " << opts_.sim_state << " (at most "
                << kStateLockWaitMs / 1000 << " s)..." << std::endl;
      told = true;
    }
    clock.sleep_ms(kStateLockPollMs);
  }
  return true;
}

void Context::save_on_stop_signals() {
#ifndef _WIN32
  if (::pipe(g_signal_pipe) != 0) return;
  (void)::fcntl(g_signal_pipe[0], F_SETFD, FD_CLOEXEC);
  (void)::fcntl(g_signal_pipe[1], F_SETFD, FD_CLOEXEC);
  std::thread([this] {
    unsigned char sig = 0;
    for (;;) {
      const ssize_t n = ::read(g_signal_pipe[0], &sig, 1);
      if (n == 1) break;
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    stopped_by_signal(sig);
  }).detach();
  for (int sig : {SIGINT, SIGTERM}) {
    struct sigaction now {};
    if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    struct sigaction ours {};
    ours.sa_handler = &on_stop_signal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_RESTART;
    (void)::sigaction(sig, &ours, nullptr);
  }
#endif
}

void Context::stopped_by_signal(int sig) {
#ifndef _WIN32
  const int status = 128 + sig;
  std::string message = std::string("interrupted by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM");
  // stdout is taken first and kept: the command, whose transfers are about
  // to fail, prints no result of its own after the line in progress.
  stdout_mutex().lock();
  {
    const std::lock_guard<std::mutex> saving(g_save_mu);
    if (g_saved_at_end) std::_Exit(status);
    // Every transfer from now on fails, as if the cameras were unplugged:
    // what they hold is what the run had written when the signal came, and
    // the command's threads can change nothing more.
    for (std::size_t i = 0; i < impl_->simulator->camera_count(); ++i)
      impl_->simulator->camera(i)->unplug();
    std::string err;
    if (impl_->simulator->save_state(opts_.sim_state, err))
      message += "; the simulated camera's state was saved to " + opts_.sim_state;
    else
      message += "; the simulated camera's state cannot be saved: " + err;
  }
  std::cerr << "error: " << message << std::endl;
  if (opts_.json) std::cout << json_error_line(message, status) << std::endl;
  std::_Exit(status);
#else
  (void)sig;
#endif
}

Context::~Context() {
  if (impl_->opened) kvVidHidCls_DeInit();
  set_platform({});
}

bool Context::setup() {
  if (opts_.verbose) {
    set_trace_sink([](std::string_view line) {
      std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    });
  } else {
    init_trace_from_environment();
  }
  Platform p;
  // The simulated camera lives in this process, so no other program can reach
  // it: a process-local lock serves (no `locks`), and parallel simulated runs
  // (tests, demos) do not wait for each other on the system-wide one.
  if (opts_.simulate) {
    if (!opts_.sim_state.empty() && !take_state_lock()) return false;
    std::string err;
    impl_->simulator = sim::create_simulator(*opts_.simulate, opts_.sim_state, err);
    if (!impl_->simulator) {
      setup_status_ = fail(kExitUsage, err);
      return false;
    }
    if (!opts_.sim_state.empty()) save_on_stop_signals();
    p.hid = &impl_->simulator->hid();
    p.video = &impl_->simulator->video();
    p.props = &impl_->simulator->props();
    // Programs that share a state file share its cameras, so they meet at
    // its cameras' write locks (this user's own: the state file is);
    // without one, the camera is this process's and a process-local lock
    // serves.
    if (const std::string prefix = sim::simulated_camera_lock_prefix(opts_.sim_state);
        !prefix.empty()) {
      impl_->sim_writers =
          std::make_unique<PrefixedLockBackend>(impl_->system.sharedSimulationLocks(), prefix);
      p.writers = impl_->sim_writers.get();
    }
  } else {
    impl_->system.install(p);
  }
  set_platform(p);
  return true;
}

bool Context::finish() {
  if (impl_->opened) {
    kvVidHidCls_DeInit();
    impl_->opened = false;
  }
  if (impl_->simulator && !opts_.sim_state.empty()) {
    const std::lock_guard<std::mutex> saving(g_save_mu);
    std::string err;
    const bool saved = impl_->simulator->save_state(opts_.sim_state, err);
    g_saved_at_end = true;
    impl_->state_lock.reset();
    if (!saved) {
      std::cerr << "error: cannot save the simulated camera's state: " << err << "\n";
      return false;
    }
  }
  return true;
}

bool Context::open_camera() {
  impl_->opened = true;
  if (kvVidHidCls_Init()) return true;
  std::string why;
  for (const std::string& c : library_causes()) {
    if (!why.empty()) why += "; ";
    why += c;
  }
  fail(kExitNoCamera, "no camera found" + (why.empty() ? std::string() : ": " + why));
  print_doctor_hint();
  return false;
}

void Context::result(const nlohmann::ordered_json& object, const std::string& text) const {
  const std::lock_guard<std::mutex> out(stdout_mutex());
  if (opts_.json) {
    if (object.is_object() && !impl_->extra_fields.empty()) {
      nlohmann::ordered_json o = object;
      for (const auto& [k, v] : impl_->extra_fields.items()) o[k] = v;
      std::cout << json_text(o) << std::endl;
    } else {
      std::cout << json_text(object) << std::endl;
    }
  } else if (!text.empty()) {
    std::cout << text;
    if (text.back() != '\n') std::cout << '\n';
    std::cout.flush();
  }
}

int Context::fail(int status, const std::string& message) const {
  const std::lock_guard<std::mutex> out(stdout_mutex());
  std::cerr << "error: " << message << std::endl;
  if (opts_.json) {
    nlohmann::ordered_json o{{"error", message}, {"exitStatus", status}};
    for (const auto& [k, v] : impl_->extra_fields.items()) o[k] = v;
    std::cout << json_text(o) << std::endl;
  }
  return status;
}

void Context::add_result_field(const std::string& key, nlohmann::ordered_json value) {
  impl_->extra_fields[key] = std::move(value);
}

bool parse_hex(const std::string& text, unsigned long max, unsigned long& out) {
  std::string t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > 8) return false;
  for (char ch : t) {
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
  }
  errno = 0;
  const unsigned long v = std::strtoul(t.c_str(), nullptr, 16);
  if (errno != 0 || v > max) return false;
  out = v;
  return true;
}

bool parse_count(const std::string& text, unsigned long max, unsigned long& out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return parse_hex(text, max, out);
  if (text.empty() || text.size() > 9) return false;
  for (char ch : text) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  }
  const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v > max) return false;
  out = v;
  return true;
}

}  // namespace lumavix::cli
