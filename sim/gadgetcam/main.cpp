// lumavix-gadgetcam: serves the simulated camera as a USB device through
// gadgetfs, on whatever device controller the kernel offers (dummy_hcd's
// virtual one in the tests), so that the host side of the same kernel
// enumerates a real USB device and binds its own drivers: usbhid to the HID
// interface (a hidraw node for lumavix-fw), or uvcvideo to the video-class
// interfaces of a camera reached through its extension unit (a video node,
// and usbfs for the raw route), as with the real camera. The program only moves
// control requests: every feature report is answered by the same SimCamera
// endpoint that --simulate uses in-process.
//
// With --time-pairs it instead measures, on the host side, one set+get pair
// of feature reports through the library against bare hidraw ioctls.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <linux/usb/gadgetfs.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/sys_call.h"
#include "sim/gadgetcam/gadgetfs_io.h"
#include "sim/gadgetcam/hid_gadget.h"
#include "sim/gadgetcam/pair_timing.h"
#include "sim/gadgetcam/uvc_gadget.h"
#include "sim/simcam/serving_signals.h"
#include "sim/simulator.h"

namespace {

using lumavix::errno_text;
using lumavix::sys_close;
using lumavix::sys_open;
using lumavix::sys_read;
using lumavix::sim::Ep0Answer;
using lumavix::sim::Ep0Verdict;
using lumavix::sim::HidGadget;
using lumavix::sim::SimCamera;
using lumavix::sim::UvcGadget;
using lumavix::sim::sys_write;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// The video-class camera's streaming endpoint, declared but never enabled.
constexpr std::uint8_t kUvcStreamingEndpoint = 0x81;

void say(const std::string& line) { std::fprintf(stderr, "lumavix-gadgetcam: %s\n", line.c_str()); }

std::uint64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint16_t le16(__le16 v) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&v);
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

// The endpoint address an endpoint file name such as "ep5in-int" stands for;
// 0 when the name carries no IN endpoint number.
std::uint8_t endpoint_address(const std::string& name) {
  unsigned number = 0;
  char dir[3] = {};
  if (std::sscanf(name.c_str(), "ep%u%2[a-z]", &number, dir) != 2) return 0;
  if (std::strcmp(dir, "in") != 0 || number == 0 || number > 15) return 0;
  return static_cast<std::uint8_t>(USB_DIR_IN | number);
}

// The camera on gadgetfs: the controller file (ep0) and, for the HID
// interface, the interrupt endpoint's file, open while the host has the
// device configured. The video-class camera never streams, so its endpoint
// stays disabled.
struct Gadget {
  SimCamera* camera = nullptr;
  std::unique_ptr<HidGadget> hid;  // one of these two
  std::unique_ptr<UvcGadget> uvc;
  std::string dir;
  std::string endpoint_name;
  int ep0 = -1;
  int ep_in = -1;
  std::vector<std::uint8_t> endpoint_setup;
  bool connected = false;
  bool gone = false;  // unplugged: the controller file is closed
  // SET_REPORT data that gadgetfs dropped because the host's next request
  // came before it was read: a feature report the camera never saw.
  std::uint64_t lost = 0;
  // Requests refused after gadgetfs had already completed them (an OUT data
  // stage cannot be stalled from user space): the host saw success.
  std::uint64_t late_refusals = 0;
  std::uint64_t service_ns = 0;
  std::uint64_t served = 0;
};

void print_stats(const Gadget& g) {
  const lumavix::sim::TransferCounters c = g.camera->counters();
  std::uint64_t sets = 0, gets = 0;
  // Feature reports and extension-unit requests alike.
  for (std::size_t id = 0; id < 256; ++id) {
    sets += c.sets[id] + c.xu_sets[id];
    gets += c.gets[id] + c.xu_gets[id];
  }
  const double mean_us = g.served ? static_cast<double>(g.service_ns) / 1000.0 / g.served : 0.0;
  char line[320];
  std::snprintf(line, sizeof line,
                "camera 0: transfers %" PRIu64 " (set %" PRIu64 ", get %" PRIu64 ", failed %" PRIu64
                "), violations %zu, mean service %.1f us, lost set reports %" PRIu64
                ", late refusals %" PRIu64,
                c.total, sets, gets, c.failed, g.camera->violations().size(), mean_us, g.lost,
                g.late_refusals);
  say(line);
}

void print_violations(const Gadget& g) {
  constexpr std::size_t kShown = 10;
  const std::vector<lumavix::sim::Violation> v = g.camera->violations();
  for (std::size_t k = 0; k < v.size() && k < kShown; ++k)
    say("camera 0: transfer " + std::to_string(v[k].transfer) + ": " + v[k].message);
  if (v.size() > kShown) say("... and " + std::to_string(v.size() - kShown) + " more violations");
}

void close_endpoint(Gadget& g) {
  sys_close(g.ep_in);
  g.ep_in = -1;
}

// Enables the interrupt IN endpoint; done when the host configures the
// device and before the configuration is acknowledged, as gadgetfs expects.
bool open_endpoint(Gadget& g) {
  if (g.ep_in >= 0 || g.endpoint_setup.empty()) return true;
  const std::string path = g.dir + "/" + g.endpoint_name;
  const int fd = sys_open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    say("cannot open " + path + ": " + errno_text(-fd));
    return false;
  }
  const ssize_t n = sys_write(fd, g.endpoint_setup.data(), g.endpoint_setup.size());
  if (n < 0) {
    say("cannot enable " + path + ": " + errno_text(static_cast<int>(-n)));
    sys_close(fd);
    return false;
  }
  g.ep_in = fd;
  return true;
}

// Finishes one control request that gadgetfs delegated. False when ep0 can
// no longer be used.
bool handle_setup(Gadget& g, const usb_ctrlrequest& setup) {
  const std::uint64_t t0 = now_ns();
  const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
  const std::uint16_t length = le16(setup.wLength);
  const bool set_configuration = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD &&
                                 setup.bRequest == USB_REQ_SET_CONFIGURATION;
  std::vector<std::uint8_t> data;
  if (!in && length > 0) {
    // gadgetfs has already taken the data stage and completed the request;
    // only the data is left to read.
    data.resize(length);
    const ssize_t n = sys_read(g.ep0, data.data(), data.size());
    if (n == -EIDRM || n == -ECANCELED) {
      ++g.lost;
      say("a SET request's data was dropped by gadgetfs (request " +
          std::to_string(setup.bRequest) + ")");
      return true;
    }
    if (n < 0) {
      say("reading a request's data failed: " + errno_text(static_cast<int>(-n)));
      return false;
    }
    data.resize(static_cast<std::size_t>(n));
  }
  if (set_configuration) {
    if (le16(setup.wValue) == 0) {
      close_endpoint(g);
    } else if (!open_endpoint(g)) {
      return false;
    }
  }
  const Ep0Answer a = g.hid ? g.hid->answer(setup, data) : g.uvc->answer(setup, data);
  ssize_t rc = 0;
  if (in) {
    // A read on an IN request is how gadgetfs is told to stall it.
    std::uint8_t none = 0;
    rc = a.verdict == Ep0Verdict::Send ? sys_write(g.ep0, a.data.data(), a.data.size())
                                       : sys_read(g.ep0, &none, 0);
  } else if (length > 0) {
    if (a.verdict == Ep0Verdict::Stall) ++g.late_refusals;
  } else {
    // For an OUT request without data, a read acknowledges and a write
    // stalls.
    std::uint8_t none = 0;
    rc = a.verdict == Ep0Verdict::Ack ? sys_read(g.ep0, &none, 0) : sys_write(g.ep0, &none, 0);
  }
  g.service_ns += now_ns() - t0;
  ++g.served;
  // EL2HLT is gadgetfs's report of the stall it was asked for; EIDRM means
  // the host gave up on the request and sent another.
  if (rc < 0 && rc != -EL2HLT && rc != -EIDRM) {
    say("finishing a control request failed: " + errno_text(static_cast<int>(-rc)));
    return false;
  }
  return true;
}

// Reads and handles the events gadgetfs has queued. False when ep0 can no
// longer be used.
bool serve_events(Gadget& g) {
  std::array<usb_gadgetfs_event, 5> events{};
  const ssize_t n = sys_read(g.ep0, events.data(), sizeof events);
  if (n == -EAGAIN || n == -EIDRM) return true;
  if (n < 0) {
    say("reading events failed: " + errno_text(static_cast<int>(-n)));
    return false;
  }
  const std::size_t count = static_cast<std::size_t>(n) / sizeof(usb_gadgetfs_event);
  for (std::size_t i = 0; i < count; ++i) {
    const usb_gadgetfs_event& ev = events[i];
    switch (ev.type) {
      case GADGETFS_CONNECT:
        if (!g.connected) say("connected to the host (speed " + std::to_string(ev.u.speed) + ")");
        g.connected = true;
        break;
      case GADGETFS_DISCONNECT:
        // The host reset or left: the endpoint is enabled again at the next
        // configuration.
        close_endpoint(g);
        break;
      case GADGETFS_SETUP:
        if (!handle_setup(g, ev.u.setup)) return false;
        break;
      case GADGETFS_NOP:
      case GADGETFS_SUSPEND:
      default:
        break;
    }
  }
  return true;
}

// A camera unplugged by the unplug-after fault leaves the bus, as a real one
// would: closing the controller file disconnects the gadget.
void unplug(Gadget& g) {
  g.gone = true;
  close_endpoint(g);
  sys_close(g.ep0);
  g.ep0 = -1;
  say("camera 0 unplugged after " + std::to_string(g.camera->counters().total) + " transfers");
}

// The controller file in a gadgetfs directory: its only entry before the
// gadget is bound.
bool find_controller(const std::string& dir, std::string& out) {
  std::vector<std::string> names;
  if (const int rc = lumavix::sim::list_directory(dir, names); rc < 0) {
    say("cannot list " + dir + ": " + errno_text(-rc));
    return false;
  }
  if (names.empty()) {
    if (const int rc = lumavix::sim::sys_mount_gadgetfs(dir.c_str()); rc < 0) {
      say("cannot mount gadgetfs on " + dir + ": " + errno_text(-rc) +
          " (load it with \"modprobe gadgetfs\" and a device controller such as dummy_hcd)");
      return false;
    }
    if (const int rc = lumavix::sim::list_directory(dir, names); rc < 0) {
      say("cannot list " + dir + ": " + errno_text(-rc));
      return false;
    }
  }
  if (names.size() != 1) {
    say(dir + " holds " + std::to_string(names.size()) +
        " entries; expected only the controller file (is another gadget running?)");
    return false;
  }
  out = dir + "/" + names[0];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Serves the simulated LUMAVIX camera as a USB device through gadgetfs (a HID interface "
      "bound by the kernel's usbhid, or for profile uvc-kavex a video-class camera bound by "
      "uvcvideo), so that lumavix-fw finds it without --simulate. Runs until SIGINT or "
      "SIGTERM; SIGUSR1 prints the transfer counters."};
  std::string profile_option, profile_positional, state_file, time_node;
  std::string gadget_dir = "/dev/gadget";
  std::string endpoint_name = "ep5in-int";
  unsigned pairs = 10, rounds = 90;
  app.add_option("--simulate-profile", profile_option,
                 "The camera: PROFILE[,KEY=VALUE...] as for lumavix-fw --simulate (a profile "
                 "with the HID interface, or uvc-kavex)");
  app.add_option("PROFILE", profile_positional, "Same as --simulate-profile");
  app.add_option("--sim-state", state_file,
                 "Load the camera's memories from FILE if it exists; save them back on exit");
  app.add_option("--gadget-dir", gadget_dir,
                 "Where gadgetfs is mounted (mounted there when the directory is empty)")
      ->capture_default_str();
  app.add_option("--endpoint", endpoint_name,
                 "The controller's interrupt IN endpoint file for the HID interface")
      ->capture_default_str();
  app.add_option("--time-pairs", time_node,
                 "Instead of serving: time one set+get feature-report pair on this hidraw node "
                 "through the library and through bare ioctls");
  app.add_option("--pairs", pairs, "Pairs per round for --time-pairs")->capture_default_str();
  app.add_option("--rounds", rounds, "Rounds for --time-pairs")->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  if (!time_node.empty()) {
    if (pairs == 0 || rounds == 0) {
      say("--pairs and --rounds must be at least 1");
      return kExitUsage;
    }
    return lumavix::sim::run_pair_timing(time_node, pairs, rounds);
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
  if (sim->camera_count() == 0) {
    say("the profile has no camera to serve");
    return kExitUsage;
  }
  // One controller carries one gadget.
  if (sim->camera_count() > 1)
    say("serving the first of " + std::to_string(sim->camera_count()) + " cameras");
  SimCamera* camera = sim->camera(0);
  const bool hid = camera->config().hid;
  std::vector<std::uint8_t> device_setup;
  lumavix::sim::FeatureLengths lengths{};
  const std::vector<std::uint8_t> descriptor = lumavix::sim::camera_report_descriptor();
  const std::uint8_t ep_address = hid ? endpoint_address(endpoint_name) : kUvcStreamingEndpoint;
  if (hid) {
    if (ep_address == 0) {
      say("--endpoint " + endpoint_name + " names no IN endpoint (epNin...)");
      return kExitUsage;
    }
    if (!lumavix::sim::feature_report_lengths(descriptor, lengths, error)) {
      say("the camera's report descriptor cannot be served: " + error);
      return kExitFailed;
    }
    if (!lumavix::sim::make_gadget_device_setup(camera->config(), descriptor, ep_address,
                                                device_setup, error)) {
      say(error);
      return kExitFailed;
    }
  } else if (!camera->config().capture_device ||
             !lumavix::sim::make_uvc_device_setup(camera->config(), ep_address, device_setup,
                                                  error)) {
    say(std::string("profile ") + lumavix::sim::profile_name(sim->options().profile) +
        " cannot be presented: " +
        (camera->config().capture_device ? error : "it is no video capture device"));
    return kExitUsage;
  }

  // gadgetfs completes a SET request's data stage before this program has
  // read the data, so the host may send its next request while the data
  // still waits here, and gadgetfs then drops it. Running ahead of the host's
  // processes (real-time scheduling) keeps that window closed on a single
  // processor; a drop that still happens is counted and reported.
  if (const int rc = lumavix::sim::sys_set_fifo_scheduling(); rc < 0)
    say("no real-time scheduling (" + errno_text(-rc) + "); SET data may be dropped under load");

  const int sig_fd = lumavix::sim::take_serving_signals(error);
  if (sig_fd < 0) {
    say(error);
    return kExitFailed;
  }

  Gadget g;
  g.camera = camera;
  if (hid) {
    g.hid = std::make_unique<HidGadget>(*camera, lengths, descriptor);
    g.endpoint_setup = lumavix::sim::make_gadget_endpoint_setup(ep_address);
  } else {
    g.uvc = std::make_unique<UvcGadget>(*camera);
  }
  g.dir = gadget_dir;
  g.endpoint_name = endpoint_name;
  int status = kExitOk;
  std::string controller;
  if (!find_controller(gadget_dir, controller)) {
    status = kExitFailed;
  } else if (const int fd = sys_open(controller.c_str(), O_RDWR | O_CLOEXEC); fd < 0) {
    say("cannot open " + controller + ": " + errno_text(-fd));
    status = kExitFailed;
  } else {
    g.ep0 = fd;
    // The write binds the gadget to the controller; the host then
    // enumerates it.
    const ssize_t n = sys_write(fd, device_setup.data(), device_setup.size());
    if (n < 0) {
      say("the controller refused the camera's descriptors: " +
          errno_text(static_cast<int>(-n)));
      status = kExitFailed;
    } else {
      char line[200];
      std::snprintf(line, sizeof line, "serving %s (%04X:%04X, profile %s) through %s",
                    camera->config().name.c_str(), camera->config().vendor_id,
                    camera->config().product_id, lumavix::sim::profile_name(sim->options().profile),
                    controller.c_str());
      say(line);
    }
  }

  const bool set_up = status == kExitOk;
  bool running = set_up;
  while (running) {
    std::vector<pollfd> fds;
    fds.push_back({sig_fd, POLLIN, 0});
    if (g.ep0 >= 0) fds.push_back({g.ep0, POLLIN, 0});
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
          print_stats(g);
        } else if (si.ssi_signo != SIGPIPE) {
          running = false;
        }
      }
    }
    // POLLHUP tells of a request the host abandoned; the next read reports
    // it and goes on with the queued events.
    if (running && fds.size() > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!serve_events(g)) {
        status = kExitFailed;
        running = false;
      } else if (g.camera->unplugged() && !g.gone) {
        unplug(g);
      }
    }
  }

  // Closing the controller file takes the device off the bus before the
  // state is saved, so no hidraw user sees a half-saved camera.
  close_endpoint(g);
  sys_close(g.ep0);
  g.ep0 = -1;
  if (set_up && !state_file.empty()) {
    if (!sim->save_state(state_file, error)) {
      say("cannot save the camera's state: " + error);
      status = kExitFailed;
    }
  }
  print_stats(g);
  print_violations(g);
  // A dropped SET is a feature report the camera never saw: a wrong camera.
  if (g.lost > 0) status = kExitFailed;
  ::close(sig_fd);
  return status;
}
