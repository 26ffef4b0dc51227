// `doctor`: what stands between this machine and a camera (the camera's
// device nodes, their permissions and the udev rule), the support bundle
// that gathers it with the traces of the last runs, and the hint that
// points a user refused by a node to it.
#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/run_log.h"
#include "cli/run_support.h"
#include "cli/run_trace.h"
#include "cli/support_bundle.h"
#include "cli/tar_gz.h"
#include "devlib/file_io.h"
#include "devlib/frame.h"
#include "firmware/product_config.h"
#ifdef _WIN32
#include "devlib/hid_transport.h"
#include "platform/win_hid.h"
#else
#include "platform/linux_doctor.h"
#endif
#include "settings/userdata.h"

namespace lumavix::cli {
namespace {

struct BundleArgs {
  std::string file;
  bool with_serials = false;
};

#ifdef _WIN32

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

// The bundle gathers the Linux findings (device nodes, udev rules, sysfs
// serials); Windows has its own to gather, not yet written.
int run_bundle(Context& ctx, const BundleArgs&) {
  return ctx.fail(kExitUsage, "doctor --bundle is not available on Windows yet");
}
#else

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

// The doctor's findings: the result object, its text and the exit status.
struct Findings {
  json object;
  std::string text;
  int status = kExitOk;
  std::string rule_file;  // the rules file that grants access, if any
};

Findings simulated_findings() {
  return {json{{"usable", true},          {"simulated", true},
               {"nodes", json::array()},  {"ruleInstalled", nullptr},
               {"ruleFile", nullptr},     {"rule", udev_rule_text()},
               {"advice", json::array()}},
          "simulating: the built-in simulated camera needs no device node, so nothing was "
          "scanned\nverdict: ready (simulated camera)",
          kExitOk,
          {}};
}

Findings doctor_findings(Context& ctx) {
  if (ctx.simulating()) return simulated_findings();

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
  return {j, text, verdict_status(verdict), report.rule_file};
}

int run_doctor_command(Context& ctx) {
  const Findings f = doctor_findings(ctx);
  ctx.result(f.object, f.text);
  return f.status;
}

// ------------------------------------------------------------------ bundle --

// Longest rules file or run log taken into the bundle.
constexpr std::size_t kMaxBundledFile = 2 * kRunLogMaxBytes;

// What `list --json` prints now: the cameras, or the failure when none
// answers. Opening the library here must not print that failure.
json cameras_now() {
  json j;
  if (kvVidHidCls_Init()) {
    j = camera_list_json();
  } else {
    std::string why;
    for (const std::string& c : library_causes()) why += (why.empty() ? "" : "; ") + c;
    j = json{{"error", "no camera found" + (why.empty() ? std::string() : ": " + why)},
             {"exitStatus", kExitNoCamera}};
  }
  kvVidHidCls_DeInit();
  return j;
}

// The serial number in the user-data block of the first camera, when one
// answers; only to mask it wherever it appears.
std::vector<std::string> user_data_serials() {
  EngineSession session;
  std::vector<std::string> serials;
  if (OpenDevices() == 0) return serials;
  EepromUserData rec;
  if (ReadUserDataBlock(rec) && !rec.serialNumber.empty()) serials.push_back(rec.serialNumber);
  return serials;
}

// The rules files the doctor reads that concern the camera: the one that
// grants access, and the tool's own file name in every rules folder (a copy
// in /etc hides or masks the packaged one).
std::vector<BundleFile> rule_files(const std::string& granting) {
  std::vector<std::string> paths;
  if (!granting.empty()) paths.push_back(granting);
  const std::string name = std::filesystem::path(kUdevRulePath).filename().string();
  for (const std::string& dir : DoctorRoots{}.rules_dirs) {
    const std::string p = dir + "/" + name;
    if (std::find(paths.begin(), paths.end(), p) == paths.end()) paths.push_back(p);
  }
  std::vector<BundleFile> files;
  for (const std::string& p : paths) {
    std::error_code ec;
    const auto st = std::filesystem::symlink_status(p, ec);
    if (ec || !std::filesystem::exists(st)) continue;
    std::string text;
    if (read_text_file(p, kMaxBundledFile, text)) {
      files.push_back({p, std::move(text)});
    } else if (std::filesystem::is_symlink(st)) {
      // A link to /dev/null is how a rule is masked: that is the finding.
      files.push_back({p, "(a symbolic link to " +
                              std::filesystem::read_symlink(p, ec).string() +
                              ", not a rules file: udev reads nothing here and skips "
                              "the files of this name in later folders)\n"});
    } else {
      files.push_back({p, "(present but not a readable rules file of at most " +
                              std::to_string(kMaxBundledFile) + " bytes)\n"});
    }
  }
  return files;
}

int run_bundle(Context& ctx, const BundleArgs& a) {
  if (!a.file.ends_with(".tar.gz") && !a.file.ends_with(".tgz"))
    return ctx.fail(kExitUsage, "--bundle needs a file name ending in .tar.gz or .tgz: " + a.file);
  const Findings f = doctor_findings(ctx);
  BundleInput in;
  in.version = version_text() + "\n";
  in.system = system_text();
  in.cameras_json = json_text(cameras_now(), 2) + "\n";
  in.doctor_json = json_text(f.object, 2) + "\n";
  if (!ctx.simulating()) in.rules = rule_files(f.rule_file);
  for (const std::filesystem::path& p : run_log_files(default_run_log_dir())) {
    std::string text;
    if (read_text_file(p.string(), kMaxBundledFile, text))
      in.runs.push_back({p.filename().string(), std::move(text)});
  }
  in.serials = user_data_serials();
  if (!ctx.simulating()) {
    for (std::string& serial : usb_serials("/sys", VendorId))
      in.serials.push_back(std::move(serial));
  }

  std::vector<std::string> members;
  const std::string bytes = bundle_archive(in, a.with_serials, std::time(nullptr), &members);
  // Private: the bundle holds traces and, on request, serial numbers.
  if (const WriteError w = write_file_atomically(path_from_utf8(a.file), bytes, FileAccess::kPrivate);
      w.failed())
    return ctx.fail(write_error_status(w), w.message);

  json j{{"bundle", a.file},
         {"bytes", bytes.size()},
         {"serialsMasked", !a.with_serials},
         {"runs", in.runs.size()},
         {"members", members}};
  std::string text = fmt::format("wrote {} ({} bytes): {} run trace(s), serial numbers {}",
                                 a.file, bytes.size(), in.runs.size(),
                                 a.with_serials ? "included" : "masked");
  ctx.result(j, text);
  return kExitOk;
}

#endif

}  // namespace

void print_doctor_hint() {
#ifdef _WIN32
  const auto& causes = library_causes();
  if (std::any_of(causes.begin(), causes.end(), [](const std::string& c) {
        return c.find("access denied") != std::string::npos;
      }))
    std::cerr << "hint: " << kDoctorHint << std::endl;
#else
  if (causes_include_permission_problem(library_causes()))
    std::cerr << "hint: " << kDoctorHint << std::endl;
#endif
}

void register_doctor_commands(CLI::App& app, Commands& commands) {
  CLI::App* doctor = app.add_subcommand(
      "doctor", "What stands between this machine and a camera: device nodes, permissions and "
                "the udev rule");
  auto b = std::make_shared<BundleArgs>();
  CLI::Option* bundle = doctor->add_option(
      "--bundle", b->file,
      "Write a support bundle to FILE.tar.gz: version, system, cameras, these findings, the "
      "udev rules and the traces of the last runs (never a firmware file)");
  doctor->add_flag("--with-serials", b->with_serials,
                   "Keep the cameras' serial numbers in the bundle (masked otherwise)")
      ->needs(bundle);
  doctor->callback([&commands, b] {
    if (b->file.empty()) {
      commands.choose(run_doctor_command);
    } else {
      commands.choose([b](Context& c) { return run_bundle(c, *b); });
    }
  });
}

}  // namespace lumavix::cli
