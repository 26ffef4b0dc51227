#include "cli/cli_context.h"
#include "cli/commands.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "cli/json_output.h"
#include "devlib/file_io.h"
#include "devlib/frame.h"
#include "devlib/trace.h"
#include "devlib/writer_lock.h"
#include "sim/simulator.h"
#ifdef _WIN32
#include "platform/win_hid.h"
#include "platform/win_ks.h"
#include "platform/win_lock.h"
#else
#include "platform/linux_hid.h"
#include "platform/linux_lock.h"
#include "platform/linux_props.h"
#include "platform/linux_uvc.h"
#endif

namespace lumavix::cli {

#ifdef _WIN32
struct Context::Impl {
  std::unique_ptr<sim::Simulator> simulator;
  std::unique_ptr<WinHidBackend> hid;
  std::unique_ptr<WinKsVideoBackend> video;
  std::unique_ptr<WinKsPropertySetBackend> props;
  WinMutexLockBackend locks;
  WinCameraLockBackend writers;
  std::unique_ptr<PrefixedLockBackend> sim_writers;
  bool opened = false;
  nlohmann::ordered_json extra_fields = nlohmann::ordered_json::object();
};
#else
struct Context::Impl {
  std::unique_ptr<sim::Simulator> simulator;
  std::unique_ptr<LinuxHidBackend> hid;
  std::unique_ptr<LinuxUvcBackend> video;
  std::unique_ptr<LinuxPropertySetBackend> props;
  FlockLockBackend locks;
  SharedFlockLockBackend writers;
  std::unique_ptr<PrefixedLockBackend> sim_writers;
  bool opened = false;
  nlohmann::ordered_json extra_fields = nlohmann::ordered_json::object();
};
#endif

Context::Context(GlobalOptions opts) : opts_(std::move(opts)), impl_(std::make_unique<Impl>()) {}

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
  // it: a process-local lock serves, and parallel simulated runs (tests,
  // demos) do not wait for each other on the system-wide one.
  p.locks = opts_.simulate ? nullptr : &impl_->locks;
  if (opts_.simulate) {
    std::string err;
    impl_->simulator = sim::create_simulator(*opts_.simulate, opts_.sim_state, err);
    if (!impl_->simulator) {
      fail(kExitUsage, err);
      return false;
    }
    p.hid = &impl_->simulator->hid();
    p.video = &impl_->simulator->video();
    p.props = &impl_->simulator->props();
    // Programs that share a state file share its cameras, so they meet at
    // its cameras' write locks (this user's own: the state file is);
    // without one, the camera is this process's and a process-local lock
    // serves.
    if (const std::string prefix = sim::simulated_camera_lock_prefix(opts_.sim_state);
        !prefix.empty()) {
#ifdef _WIN32
      LockBackend& base = impl_->writers;
#else
      LockBackend& base = impl_->locks;
#endif
      impl_->sim_writers = std::make_unique<PrefixedLockBackend>(base, prefix);
      p.writers = impl_->sim_writers.get();
    }
  } else {
#ifdef _WIN32
    impl_->hid = std::make_unique<WinHidBackend>();
    impl_->video = std::make_unique<WinKsVideoBackend>();
    impl_->props = std::make_unique<WinKsPropertySetBackend>();
#else
    impl_->hid = std::make_unique<LinuxHidBackend>();
    impl_->video = std::make_unique<LinuxUvcBackend>();
    impl_->props = std::make_unique<LinuxPropertySetBackend>();
#endif
    p.hid = impl_->hid.get();
    p.video = impl_->video.get();
    p.props = impl_->props.get();
    p.writers = &impl_->writers;
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
    std::string err;
    if (!impl_->simulator->save_state(opts_.sim_state, err)) {
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
