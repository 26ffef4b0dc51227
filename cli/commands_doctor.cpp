// `doctor`: what stands between this machine and a camera (the camera's
// device nodes, their permissions and the udev rule), and the hint that
// points a user refused by a node to it.
#include <fmt/format.h>

#include <algorithm>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "devlib/frame.h"
#include "firmware/product_config.h"
#ifdef _WIN32
#include "devlib/hid_transport.h"
#include "platform/win_hid.h"
#else
#include "platform/linux_doctor.h"
#endif

namespace lumavix::cli {
namespace {

#ifdef _WIN32
using json = nlohmann::ordered_json;

constexpr const char* kDoctorHint = "run \"lumavix-fw doctor\" for the fix";

// Windows has no device nodes or rules to set: what can stand between the
// user and a camera is an interface another program holds, or a camera the
// system does not list. The doctor lists the maker's HID interfaces and
// tries to open each for reading and writing.
int run_doctor_command(Context& ctx) {
  if (ctx.simulating()) {
    ctx.result(json{{"usable", true}, {"simulated", true}, {"nodes", json::array()},
                    {"advice", json::array()}},
               "simulating: the built-in simulated camera needs no device, so nothing was "
               "scanned\nverdict: ready (simulated camera)");
    return kExitOk;
  }
  WinHidBackend backend;
  std::vector<HidInterfaceInfo> all;
  SysError err;
  if (!backend.enumerate(all, err)) return ctx.fail(kExitFailed, err.message);
  json list = json::array();
  std::string text = fmt::format("HID interfaces of USB vendor id {:04X}:\n", VendorId);
  bool any_camera = false, usable = false;
  for (const HidInterfaceInfo& info : all) {
    if (info.vendor_id != VendorId) continue;
    const bool camera = hid_interface_is_camera(info);
    SysError open_err;
    const bool opens = camera && backend.open(info.path, open_err) != nullptr;
    any_camera = any_camera || camera;
    usable = usable || opens;
    const bool refused = camera && !opens;
    list.push_back(json{{"path", info.path},
                        {"kind", "hid"},
                        {"vendorId", fmt::format("{:04X}", info.vendor_id)},
                        {"productId", fmt::format("{:04X}", info.product_id)},
                        {"configured", camera},
                        {"canOpen", opens},
                        {"error", refused ? json(open_err.message) : json(nullptr)}});
    text += fmt::format("  {}  {:04X}  {}\n", info.path, info.product_id,
                        !camera ? "not the camera's command interface"
                        : opens ? "opens read-write"
                                : "cannot be opened: " + open_err.message);
  }
  if (list.empty()) text += "  none\n";
  const char* verdict = usable       ? "verdict: ready, this user can open the camera"
                        : any_camera ? "verdict: a camera is connected but cannot be opened "
                                       "(close other camera programs and try again)"
                                     : "verdict: no camera is connected";
  json advice = json::array();
  if (!usable && any_camera)
    advice.push_back("close the programs that use the camera, then run the command again");
  if (!any_camera)
    advice.push_back("connect the camera; a camera still starting needs a few seconds");
  ctx.result(json{{"usable", usable}, {"nodes", list}, {"advice", advice}}, text + verdict);
  return usable ? kExitOk : any_camera ? kExitFailed : kExitNoCamera;
}
#else

using json = nlohmann::ordered_json;

constexpr const char* kDoctorHint = "run \"lumavix-fw doctor\" for the fix";

std::string hex4(std::uint16_t v) { return fmt::format("{:04X}", v); }

const char* kind_name(DoctorNodeKind k) {
  switch (k) {
    case DoctorNodeKind::Hidraw: return "hidraw";
    case DoctorNodeKind::Video: return "video";
    case DoctorNodeKind::Usb: return "usb";
  }
  return "unknown";
}

json node_json(const DoctorNode& n) {
  const auto or_null = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
  return json{{"path", n.path},
              {"kind", kind_name(n.kind)},
              {"vendorId", hex4(n.vendor_id)},
              {"productId", hex4(n.product_id)},
              {"configured", n.configured},
              {"owner", or_null(n.owner)},
              {"group", or_null(n.group)},
              {"mode", or_null(n.mode)},
              {"canOpen", n.can_open},
              {"error", or_null(n.error)}};
}

std::string node_line(const DoctorNode& n) {
  const std::string who =
      n.mode.empty() ? std::string("(cannot be examined)")
                     : fmt::format("{} {}:{}", n.mode, n.owner, n.group);
  std::string line = fmt::format("  {:<14} {:<6} {}:{}  {}  ", n.path, kind_name(n.kind),
                                 hex4(n.vendor_id), hex4(n.product_id), who);
  line += n.can_open ? "opens read-write" : "cannot be opened: " + n.error;
  if (!n.configured) line += "  (not a configured product)";
  return line + "\n";
}

const char* verdict_text(DoctorVerdict v) {
  switch (v) {
    case DoctorVerdict::Usable:
      return "verdict: ready, this user can open the camera";
    case DoctorVerdict::NotConfigured:
      return "verdict: the connected device is not a camera this tool updates";
    case DoctorVerdict::Blocked:
      return "verdict: a camera is connected but this user cannot open it";
    case DoctorVerdict::NoCamera:
      return "verdict: no camera is connected";
  }
  return "verdict: unknown";
}

int verdict_status(DoctorVerdict v) {
  switch (v) {
    case DoctorVerdict::Usable:
      return kExitOk;
    case DoctorVerdict::NoCamera:
      return kExitNoCamera;
    case DoctorVerdict::NotConfigured:
    case DoctorVerdict::Blocked:
      return kExitFailed;
  }
  return kExitFailed;
}

int run_simulated(Context& ctx) {
  const json j{{"usable", true},          {"simulated", true},
               {"nodes", json::array()},  {"ruleInstalled", nullptr},
               {"ruleFile", nullptr},     {"rule", udev_rule_text()},
               {"advice", json::array()}};
  ctx.result(j,
             "simulating: the built-in simulated camera needs no device node, so nothing was "
             "scanned\nverdict: ready (simulated camera)");
  return kExitOk;
}

int run_doctor_command(Context& ctx) {
  if (ctx.simulating()) return run_simulated(ctx);

  const DoctorReport report = run_doctor(DoctorRoots{}, probe_open_read_write);
  const std::vector<std::string> advice = doctor_advice(report);
  const DoctorVerdict verdict = report.verdict();
  const std::string rule = udev_rule_text();
  const bool show_rule = std::any_of(advice.begin(), advice.end(), [](const std::string& a) {
    return a.find(kUdevRulePath) != std::string::npos;
  });

  json nodes = json::array();
  for (const DoctorNode& n : report.nodes) nodes.push_back(node_json(n));
  const json j{{"usable", verdict == DoctorVerdict::Usable},
               {"nodes", nodes},
               {"ruleInstalled", report.rule_installed},
               {"ruleFile", report.rule_file.empty() ? json(nullptr) : json(report.rule_file)},
               {"rule", rule},
               {"advice", advice}};

  std::string text = "camera nodes (USB vendor id " + hex4(VendorId) + "):\n";
  if (report.nodes.empty()) text += "  none\n";
  for (const DoctorNode& n : report.nodes) text += node_line(n);
  text += report.rule_installed ? "udev rule: installed (" + report.rule_file + ")\n"
                                : std::string("udev rule: not installed\n");
  if (!advice.empty()) {
    text += "to do:\n";
    for (const std::string& a : advice) text += "  - " + a + "\n";
  }
  if (show_rule) text += fmt::format("\nthe rule ({}):\n{}\n", kUdevRulePath, rule);
  text += verdict_text(verdict);
  ctx.result(j, text);
  return verdict_status(verdict);
}

#endif

}  // namespace

void print_doctor_hint() {
#ifdef _WIN32
  const auto& causes = library_state().causes;
  if (std::any_of(causes.begin(), causes.end(), [](const std::string& c) {
        return c.find("access denied") != std::string::npos;
      }))
    std::cerr << "hint: " << kDoctorHint << std::endl;
#else
  if (causes_include_permission_problem(library_state().causes))
    std::cerr << "hint: " << kDoctorHint << std::endl;
#endif
}

void register_doctor_commands(CLI::App& app, Commands& commands) {
  CLI::App* doctor = app.add_subcommand(
      "doctor", "What stands between this machine and a camera: device nodes, permissions and "
                "the udev rule");
  doctor->callback([&commands] { commands.choose(run_doctor_command); });
}

}  // namespace lumavix::cli
