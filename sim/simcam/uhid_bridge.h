// Translation between the kernel's uhid events and the simulated camera's HID
// endpoint. The kernel asks for feature reports on behalf of a hidraw user;
// each request becomes exactly one SimCamera::set_feature or get_feature call,
// the same call the in-process simulated platform makes, and the camera's
// answer goes back as the reply event. Nothing here touches /dev/uhid, so the
// translation is tested without the kernel.
//
// Header-only so that both lumavix-simcam and the sim unit tests use this very
// code without a library of its own.
#pragma once

#include <linux/uhid.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "devlib/hid_descriptor.h"
#include "sim/sim_camera.h"

namespace lumavix::sim {

// USB, as the kernel's BUS_USB.
inline constexpr std::uint16_t kUhidBusUsb = 0x03;
// bcdDevice reported with the identity.
inline constexpr std::uint32_t kUhidDeviceVersion = 0x0100;

// Lengths of the feature reports a descriptor declares, report-id byte
// included, indexed by report id; 0 for a report it does not declare. Only
// value fields are counted: the camera's reports have no one-bit fields.
// A GET_REPORT request carries no length, so the device side answers each
// report with the length it declared.
using FeatureLengths = std::array<std::uint16_t, 256>;

[[nodiscard]] inline bool feature_report_lengths(std::span<const std::uint8_t> descriptor,
                                                 FeatureLengths& out, std::string& error) {
  hid::DescriptorCaps caps;
  if (!hid::parse_report_descriptor(descriptor, caps, &error)) return false;
  std::array<std::uint32_t, 256> bits{};
  for (const hid::ValueCap& v : caps.feature.values)
    bits[v.report_id] += std::uint32_t{v.bit_size} * v.report_count;
  for (std::size_t id = 0; id < out.size(); ++id) {
    const std::uint32_t bytes = bits[id] == 0 ? 0 : 1 + (bits[id] + 7) / 8;
    if (bytes > UHID_DATA_MAX) {
      error = "feature report " + std::to_string(id) + " is longer than a uhid transfer";
      return false;
    }
    out[id] = static_cast<std::uint16_t>(bytes);
  }
  return true;
}

// Copies `text` into a fixed uhid string field, always NUL-terminated.
template <std::size_t N>
inline void copy_uhid_string(std::uint8_t (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

// The UHID_CREATE2 event that makes the kernel see `config`'s camera as a USB
// HID device with `descriptor`. False with `error` when the descriptor does
// not fit the event.
[[nodiscard]] inline bool make_create2_event(const SimCameraConfig& config,
                                             std::span<const std::uint8_t> descriptor,
                                             const std::string& phys, uhid_event& ev,
                                             std::string& error) {
  if (descriptor.empty() || descriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
    error = "a report descriptor of " + std::to_string(descriptor.size()) +
            " bytes cannot be handed to uhid";
    return false;
  }
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_CREATE2;
  uhid_create2_req& c = ev.u.create2;
  copy_uhid_string(c.name, config.name);
  copy_uhid_string(c.phys, phys);
  c.rd_size = static_cast<std::uint16_t>(descriptor.size());
  c.bus = kUhidBusUsb;
  c.vendor = config.vendor_id;
  c.product = config.product_id;
  c.version = kUhidDeviceVersion;
  c.country = 0;
  std::memcpy(c.rd_data, descriptor.data(), descriptor.size());
  return true;
}

[[nodiscard]] inline uhid_event make_destroy_event() {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_DESTROY;
  return ev;
}

// What the bridge has seen of the kernel.
struct UhidBridgeStats {
  std::uint64_t set_reports = 0;
  std::uint64_t get_reports = 0;
  std::uint64_t refused = 0;      // requests answered with an error
  std::uint64_t other_events = 0; // output reports and unknown event types
  bool started = false;           // UHID_START seen and no UHID_STOP since
  int opens = 0;                  // hidraw users, by UHID_OPEN / UHID_CLOSE
};

class UhidBridge {
 public:
  // `lengths` from feature_report_lengths of the descriptor handed to
  // UHID_CREATE2. The camera is borrowed.
  UhidBridge(SimCamera& camera, const FeatureLengths& lengths)
      : camera_(camera), lengths_(lengths) {}

  // Handles one event read from /dev/uhid. Returns true with `reply` filled
  // when the kernel waits for an answer (UHID_GET_REPORT, UHID_SET_REPORT);
  // every such request gets one, as an unanswered request blocks the hidraw
  // user for seconds.
  [[nodiscard]] bool handle(const uhid_event& ev, uhid_event& reply) {
    switch (ev.type) {
      case UHID_START:
        stats_.started = true;
        return false;
      case UHID_STOP:
        stats_.started = false;
        return false;
      case UHID_OPEN:
        ++stats_.opens;
        return false;
      case UHID_CLOSE:
        if (stats_.opens > 0) --stats_.opens;
        return false;
      case UHID_GET_REPORT:
        on_get_report(ev.u.get_report, reply);
        return true;
      case UHID_SET_REPORT:
        on_set_report(ev.u.set_report, reply);
        return true;
      default:
        ++stats_.other_events;
        return false;
    }
  }

  [[nodiscard]] const UhidBridgeStats& stats() const { return stats_; }

 private:
  void on_get_report(const uhid_get_report_req& req, uhid_event& reply) {
    ++stats_.get_reports;
    std::memset(&reply, 0, sizeof reply);
    reply.type = UHID_GET_REPORT_REPLY;
    uhid_get_report_reply_req& r = reply.u.get_report_reply;
    r.id = req.id;
    if (req.rtype != UHID_FEATURE_REPORT) {
      // The camera has neither input nor output reports.
      r.err = refuse(EPIPE);
      return;
    }
    // An undeclared report still goes to the camera, which records it as a
    // breach of the protocol, exactly as the in-process platform does.
    const std::size_t length = lengths_[req.rnum] ? lengths_[req.rnum] : 1;
    std::array<std::uint8_t, UHID_DATA_MAX> buf{};
    buf[0] = req.rnum;
    const int rc = camera_.get_feature(std::span<std::uint8_t>(buf.data(), length));
    if (rc < 0) {
      r.err = refuse(-rc);
      return;
    }
    // The kernel hands these bytes to the hidraw user unchanged, byte 0
    // included: byte 0 is the device's first reply byte, not the report id.
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(rc), length);
    std::memcpy(r.data, buf.data(), n);
    r.size = static_cast<std::uint16_t>(n);
  }

  void on_set_report(const uhid_set_report_req& req, uhid_event& reply) {
    ++stats_.set_reports;
    std::memset(&reply, 0, sizeof reply);
    reply.type = UHID_SET_REPORT_REPLY;
    uhid_set_report_reply_req& r = reply.u.set_report_reply;
    r.id = req.id;
    if (req.rtype != UHID_FEATURE_REPORT) {
      r.err = refuse(EPIPE);
      return;
    }
    const std::size_t size = req.size;
    if (size > UHID_DATA_MAX) {
      r.err = refuse(EINVAL);
      return;
    }
    // The data starts with the report-id byte, as hidraw's user wrote it.
    const int rc = camera_.set_feature(std::span<const std::uint8_t>(req.data, size));
    if (rc < 0) r.err = refuse(-rc);
  }

  // The kernel turns any non-zero error into EIO for the hidraw user; the
  // camera's own errno is kept in the reply for traces.
  [[nodiscard]] std::uint16_t refuse(int code) {
    ++stats_.refused;
    return static_cast<std::uint16_t>(code > 0 ? code : EIO);
  }

  SimCamera& camera_;
  FeatureLengths lengths_;
  UhidBridgeStats stats_;
};

}  // namespace lumavix::sim
