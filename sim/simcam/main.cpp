// lumavix-simcam: serves the simulated camera to the kernel as a USB HID
// device through /dev/uhid, so that hidraw users (lumavix-fw without
// --simulate, the application) find and drive it exactly as they would the
// real camera. The program only moves events: every feature report is
// answered by the same SimCamera endpoint that --simulate uses in-process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/simcam/serving_signals.h"
#include "sim/simcam/uhid_bridge.h"
#include "sim/sim_options.h"
#include "sim/simulator.h"

namespace {

using lumavix::sim::SimCamera;
using lumavix::sim::UhidBridge;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr const char* kUhidPath = "/dev/uhid";

void say(const std::string& line) { std::fprintf(stderr, "lumavix-simcam: %s\n", line.c_str()); }

std::string errno_text(int code) { return std::strerror(code); }

std::uint64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// uhid takes and gives one whole event per call.
int write_event(int fd, const uhid_event& ev) {
  for (;;) {
    const ssize_t n = ::write(fd, &ev, sizeof ev);
    if (n == static_cast<ssize_t>(sizeof ev)) return 0;
    if (n >= 0) return -EIO;
    if (errno != EINTR) return -errno;
  }
}

// One camera on one uhid device.
struct Endpoint {
  SimCamera* camera = nullptr;
  std::unique_ptr<UhidBridge> bridge;
  int fd = -1;
  bool announced = false;
  bool destroyed = false;
  // Time from reading a request to writing its reply, summed.
  std::uint64_t service_ns = 0;
  std::uint64_t served = 0;
};

std::string open_error(int code) {
  switch (code) {
    case ENOENT:
    case ENODEV:
      return std::string(kUhidPath) + " is not present: this kernel has no uhid (load it with "
             "\"modprobe uhid\")";
    case EACCES:
    case EPERM:
      return "permission denied on " + std::string(kUhidPath) + " (run as root)";
    default:
      return "cannot open " + std::string(kUhidPath) + ": " + errno_text(code);
  }
}

void print_stats(const std::vector<Endpoint>& endpoints) {
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    const Endpoint& e = endpoints[i];
    const lumavix::sim::TransferCounters c = e.camera->counters();
    std::uint64_t sets = 0, gets = 0;
    for (std::size_t id = 0; id < 256; ++id) {
      sets += c.sets[id];
      gets += c.gets[id];
    }
    const double mean_us = e.served ? static_cast<double>(e.service_ns) / 1000.0 / e.served : 0.0;
    char line[256];
    std::snprintf(line, sizeof line,
                  "camera %zu: transfers %" PRIu64 " (set %" PRIu64 ", get %" PRIu64
                  ", failed %" PRIu64 "), violations %zu, mean service %.1f us",
                  i, c.total, sets, gets, c.failed, e.camera->violations().size(), mean_us);
    say(line);
  }
}

void print_violations(const std::vector<Endpoint>& endpoints) {
  constexpr std::size_t kShown = 10;
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    const std::vector<lumavix::sim::Violation> v = endpoints[i].camera->violations();
    for (std::size_t k = 0; k < v.size() && k < kShown; ++k)
      say("camera " + std::to_string(i) + ": transfer " + std::to_string(v[k].transfer) + ": " +
          v[k].message);
    if (v.size() > kShown) say("... and " + std::to_string(v.size() - kShown) + " more violations");
  }
}

// Reads and answers one event. False when the device can no longer be used.
bool serve_one(Endpoint& e, std::size_t index) {
  uhid_event ev;
  const ssize_t n = ::read(e.fd, &ev, sizeof ev);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return true;
    say("reading " + std::string(kUhidPath) + " failed: " + errno_text(errno));
    return false;
  }
  // Every event the kernel sends carries at least its type.
  if (static_cast<std::size_t>(n) < sizeof ev.type) {
    say("short event from " + std::string(kUhidPath));
    return false;
  }
  const std::uint64_t t0 = now_ns();
  uhid_event reply;
  if (!e.bridge->handle(ev, reply)) {
    if (e.bridge->stats().started && !e.announced) {
      e.announced = true;
      say("camera " + std::to_string(index) + " started by the kernel");
    }
    return true;
  }
  const int rc = write_event(e.fd, reply);
  e.service_ns += now_ns() - t0;
  ++e.served;
  if (rc < 0) {
    say("answering the kernel failed: " + errno_text(-rc));
    return false;
  }
  // A camera unplugged by the unplug-after fault leaves the bus, as a real
  // one would: hidraw users then see the node vanish.
  if (e.camera->unplugged() && !e.destroyed) {
    e.destroyed = true;
    (void)write_event(e.fd, lumavix::sim::make_destroy_event());
    say("camera " + std::to_string(index) + " unplugged after " +
        std::to_string(e.camera->counters().total) + " transfers");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Serves the simulated LUMAVIX camera to this machine's kernel as a USB HID device "
      "(through /dev/uhid), so that lumavix-fw finds it without --simulate. Runs until "
      "SIGINT or SIGTERM; SIGUSR1 prints the transfer counters."};
  std::string profile_option, profile_positional, state_file;
  app.add_option("--simulate-profile", profile_option,
                 "The camera: PROFILE[,KEY=VALUE...] as for lumavix-fw --simulate; profiles " +
                     lumavix::sim::sim_profiles_help(true) + "; keys " +
                     lumavix::sim::sim_keys_help(true));
  app.add_option("PROFILE", profile_positional, "Same as --simulate-profile");
  app.add_option("--sim-state", state_file,
                 "Load the camera's memories from FILE if it exists; save them back on exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  if (!profile_option.empty() && !profile_positional.empty()) {
    say("give the profile either with --simulate-profile or as an argument, not both");
    return kExitUsage;
  }
  const std::string profile_text = profile_option.empty() ? profile_positional : profile_option;

  std::string error;
  std::unique_ptr<lumavix::sim::Simulator> sim =
      lumavix::sim::create_served_simulator(profile_text, state_file, error);
  if (!sim) {
    say(error);
    return kExitUsage;
  }

  const std::vector<std::uint8_t> descriptor = lumavix::sim::camera_report_descriptor();
  lumavix::sim::FeatureLengths lengths{};
  if (!lumavix::sim::feature_report_lengths(descriptor, lengths, error)) {
    say("the camera's report descriptor cannot be served: " + error);
    return kExitFailed;
  }

  const int sig_fd = lumavix::sim::take_serving_signals(error);
  if (sig_fd < 0) {
    say(error);
    return kExitFailed;
  }

  std::vector<Endpoint> endpoints(sim->camera_count());
  int status = kExitOk;
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    Endpoint& e = endpoints[i];
    e.camera = sim->camera(i);
    e.bridge = std::make_unique<UhidBridge>(*e.camera, lengths);
    int fd = -1;
    do {
      fd = ::open(kUhidPath, O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      say(open_error(errno));
      status = kExitFailed;
      break;
    }
    e.fd = fd;
    uhid_event create;
    if (!lumavix::sim::make_create2_event(e.camera->config(), descriptor,
                                          "lumavix-simcam/" + std::to_string(i), create, error)) {
      say(error);
      status = kExitFailed;
      break;
    }
    if (const int rc = write_event(fd, create); rc < 0) {
      say("the kernel refused the camera: " + errno_text(-rc));
      status = kExitFailed;
      break;
    }
    char line[160];
    std::snprintf(line, sizeof line, "serving %s (%04X:%04X, profile %s) through %s",
                  e.camera->config().name.c_str(), e.camera->config().vendor_id,
                  e.camera->config().product_id, lumavix::sim::profile_name(sim->options().profile),
                  kUhidPath);
    say(line);
  }

  std::vector<pollfd> fds;
  fds.push_back({sig_fd, POLLIN, 0});
  for (const Endpoint& e : endpoints) fds.push_back({e.fd, POLLIN, 0});
  const bool set_up = status == kExitOk;
  bool running = set_up;
  while (running) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      say("poll failed: " + errno_text(errno));
      status = kExitFailed;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo si{};
      if (::read(sig_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGUSR1) {
          print_stats(endpoints);
        } else if (si.ssi_signo != SIGPIPE) {
          running = false;
        }
      }
    }
    for (std::size_t i = 0; running && i < endpoints.size(); ++i) {
      const short rev = fds[i + 1].revents;
      if (rev & POLLIN) {
        if (!serve_one(endpoints[i], i)) {
          status = kExitFailed;
          running = false;
        }
      } else if (rev & (POLLERR | POLLHUP | POLLNVAL)) {
        say("the kernel closed the uhid device");
        status = kExitFailed;
        running = false;
      }
    }
  }

  for (Endpoint& e : endpoints) {
    if (e.fd < 0) continue;
    if (e.destroyed) {
      ::close(e.fd);
      e.fd = -1;
      continue;
    }
    // Closing would destroy the device too; the explicit event removes it
    // before the state is saved, so no hidraw user sees a half-saved camera.
    (void)write_event(e.fd, lumavix::sim::make_destroy_event());
    ::close(e.fd);
    e.fd = -1;
  }
  if (set_up && !state_file.empty()) {
    if (!sim->save_state(state_file, error)) {
      say("cannot save the camera's state: " + error);
      status = kExitFailed;
    }
  }
  std::vector<Endpoint> seen;
  for (Endpoint& e : endpoints)
    if (e.camera) seen.push_back(std::move(e));
  print_stats(seen);
  print_violations(seen);
  ::close(sig_fd);
  return status;
}
