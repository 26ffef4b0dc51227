// The simulated camera as a USB device with one HID interface, for a
// user-space gadget on gadgetfs: the descriptors the gadget's controller file
// takes, and the answer to each control request gadgetfs hands to user
// space. The kernel's usbhid binds the interface and serves hidraw users;
// every feature report they move becomes exactly one SimCamera::set_feature
// or get_feature call, the same call the uhid bridge and the in-process
// platform make. Nothing here touches gadgetfs, so the translation is tested
// without the kernel.
//
// Header-only, as uhid_bridge.h, so that lumavix-gadgetcam and the sim unit
// tests use this very code.
#pragma once

#include <linux/hid.h>
#include <linux/usb/ch9.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_camera.h"
#include "sim/simcam/uhid_bridge.h"

namespace lumavix::sim {

inline constexpr std::uint8_t kGadgetConfigValue = 1;
inline constexpr std::uint8_t kGadgetInterface = 0;
inline constexpr std::uint8_t kGadgetProductString = 2;
inline constexpr std::uint16_t kGadgetLanguage = 0x0409;  // English (US)
// bcdDevice, as the uhid camera reports it.
inline constexpr std::uint16_t kGadgetDeviceVersion = 0x0100;
// HID 1.11: the class descriptor following the interface descriptor.
inline constexpr std::uint16_t kHidVersion = 0x0111;
inline constexpr std::size_t kHidDescriptorSize = 9;
// The interrupt IN endpoint HID requires. The camera sends no input reports,
// so nothing is ever written to it; usbhid's poll of it just stays pending.
inline constexpr std::uint16_t kGadgetInterruptPacket = 64;
inline constexpr std::uint8_t kGadgetIntervalFull = 10;  // 10 ms frames
inline constexpr std::uint8_t kGadgetIntervalHigh = 7;   // 2^(7-1) microframes: 8 ms
// HID report types in the high byte of wValue.
inline constexpr std::uint8_t kHidFeatureReport = 3;
// The largest control transfer the gadget answers; a report descriptor or a
// report longer than this is refused when the descriptors are made.
inline constexpr std::size_t kGadgetMaxControl = 4096;

namespace gadget_detail {

inline void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void put_hid_descriptor(std::vector<std::uint8_t>& out, std::size_t report_size) {
  out.push_back(static_cast<std::uint8_t>(kHidDescriptorSize));
  out.push_back(HID_DT_HID);
  put16(out, kHidVersion);
  out.push_back(0);  // no country
  out.push_back(1);  // one class descriptor: the report descriptor
  out.push_back(HID_DT_REPORT);
  put16(out, static_cast<std::uint16_t>(report_size));
}

inline void put_endpoint(std::vector<std::uint8_t>& out, std::uint8_t address, bool high_speed) {
  out.push_back(USB_DT_ENDPOINT_SIZE);
  out.push_back(USB_DT_ENDPOINT);
  out.push_back(address);
  out.push_back(USB_ENDPOINT_XFER_INT);
  put16(out, kGadgetInterruptPacket);
  out.push_back(high_speed ? kGadgetIntervalHigh : kGadgetIntervalFull);
}

// One configuration with the HID interface, its class descriptor and its
// endpoint, wTotalLength filled in.
inline void put_configuration(std::vector<std::uint8_t>& out, std::size_t report_size,
                              std::uint8_t ep_address, bool high_speed) {
  const std::size_t start = out.size();
  out.push_back(USB_DT_CONFIG_SIZE);
  out.push_back(USB_DT_CONFIG);
  put16(out, 0);  // wTotalLength, below
  out.push_back(1);  // one interface
  out.push_back(kGadgetConfigValue);
  out.push_back(0);  // no string
  out.push_back(USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER);
  out.push_back(50);  // 100 mA
  out.push_back(USB_DT_INTERFACE_SIZE);
  out.push_back(USB_DT_INTERFACE);
  out.push_back(kGadgetInterface);
  out.push_back(0);  // alternate setting
  out.push_back(1);  // one endpoint
  out.push_back(USB_CLASS_HID);
  out.push_back(0);  // no boot interface
  out.push_back(0);
  out.push_back(0);  // no string
  put_hid_descriptor(out, report_size);
  put_endpoint(out, ep_address, high_speed);
  const std::size_t total = out.size() - start;
  out[start + 2] = static_cast<std::uint8_t>(total & 0xFF);
  out[start + 3] = static_cast<std::uint8_t>(total >> 8);
}

}  // namespace gadget_detail

// What gadgetfs's controller file (/dev/gadget/<udc>) takes to bind the
// gadget: the tag 0, the full-speed configuration, the high-speed one and the
// device descriptor. `ep_address` is the interrupt IN endpoint's address
// (0x80 | number). False with `error` for a descriptor USB cannot carry.
[[nodiscard]] inline bool make_gadget_device_setup(const SimCameraConfig& config,
                                                   std::span<const std::uint8_t> report_descriptor,
                                                   std::uint8_t ep_address,
                                                   std::vector<std::uint8_t>& out,
                                                   std::string& error) {
  if (report_descriptor.empty() || report_descriptor.size() > kGadgetMaxControl) {
    error = "a report descriptor of " + std::to_string(report_descriptor.size()) +
            " bytes cannot be served";
    return false;
  }
  if ((ep_address & USB_ENDPOINT_DIR_MASK) != USB_DIR_IN ||
      (ep_address & USB_ENDPOINT_NUMBER_MASK) == 0) {
    error = "endpoint address " + std::to_string(ep_address) + " is not an IN endpoint";
    return false;
  }
  out.clear();
  out.insert(out.end(), {0, 0, 0, 0});  // tag 0, host order: all bytes zero
  gadget_detail::put_configuration(out, report_descriptor.size(), ep_address, false);
  gadget_detail::put_configuration(out, report_descriptor.size(), ep_address, true);
  out.push_back(USB_DT_DEVICE_SIZE);
  out.push_back(USB_DT_DEVICE);
  gadget_detail::put16(out, 0x0200);
  out.push_back(0);   // class per interface
  out.push_back(0);
  out.push_back(0);
  out.push_back(64);  // ep0 packet; gadgetfs puts the controller's own
  gadget_detail::put16(out, config.vendor_id);
  gadget_detail::put16(out, config.product_id);
  gadget_detail::put16(out, kGadgetDeviceVersion);
  out.push_back(0);   // no manufacturer string
  out.push_back(config.name.empty() ? 0 : kGadgetProductString);
  out.push_back(0);   // no serial number
  out.push_back(1);   // one configuration
  return true;
}

// What an endpoint file (/dev/gadget/epN...) takes to enable the endpoint:
// the tag 1, then its full-speed and high-speed descriptors.
[[nodiscard]] inline std::vector<std::uint8_t> make_gadget_endpoint_setup(std::uint8_t ep_address) {
  const std::uint32_t tag = 1;  // host order
  std::vector<std::uint8_t> out(sizeof tag);
  std::memcpy(out.data(), &tag, sizeof tag);
  gadget_detail::put_endpoint(out, ep_address, false);
  gadget_detail::put_endpoint(out, ep_address, true);
  return out;
}

// How one control request is finished on ep0.
enum class Ep0Verdict : std::uint8_t {
  Send,   // IN: send `data` (at most wLength bytes)
  Ack,    // OUT: complete the status stage
  Stall,  // refuse the request
};

struct Ep0Answer {
  Ep0Verdict verdict = Ep0Verdict::Stall;
  std::vector<std::uint8_t> data;
};

namespace gadget_detail {

inline Ep0Answer send(std::vector<std::uint8_t> data) { return {Ep0Verdict::Send, std::move(data)}; }
inline Ep0Answer ack() { return {Ep0Verdict::Ack, {}}; }
inline Ep0Answer stall() { return {Ep0Verdict::Stall, {}}; }

inline std::uint16_t le16(__le16 v) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&v);
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

// The common end of every ep0 answer: a refusal is counted and carries no
// data; an IN request always sends (at most wLength bytes, nothing when the
// request had no answer); an OUT request only completes its status stage.
inline Ep0Answer finish_ep0(Ep0Answer a, bool in, std::uint16_t length, std::uint64_t& refused) {
  if (a.verdict == Ep0Verdict::Stall) {
    ++refused;
    a.data.clear();
  } else if (in) {
    if (a.verdict != Ep0Verdict::Send) a = send({});
    if (a.data.size() > length) a.data.resize(length);
  } else if (a.verdict == Ep0Verdict::Send) {
    a = ack();
  }
  return a;
}

}  // namespace gadget_detail

struct HidGadgetStats {
  std::uint64_t set_reports = 0;
  std::uint64_t get_reports = 0;
  std::uint64_t refused = 0;      // requests answered with a stall
  std::uint64_t descriptors = 0;  // report, HID and string descriptors served
};

class HidGadget {
 public:
  // `lengths` from feature_report_lengths of `report_descriptor`. The camera
  // is borrowed.
  HidGadget(SimCamera& camera, const FeatureLengths& lengths,
            std::vector<std::uint8_t> report_descriptor)
      : camera_(camera), lengths_(lengths), report_descriptor_(std::move(report_descriptor)) {}

  // Answers one control request. For an OUT request `out_data` is its data
  // stage as received (empty when wLength is 0); for an IN request it is
  // unused and the answer's data is never longer than wLength.
  [[nodiscard]] Ep0Answer answer(const usb_ctrlrequest& setup,
                                 std::span<const std::uint8_t> out_data) {
    const std::uint8_t type = setup.bRequestType & USB_TYPE_MASK;
    const std::uint8_t recipient = setup.bRequestType & USB_RECIP_MASK;
    const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
    const std::uint16_t value = le16(setup.wValue);
    const std::uint16_t index = le16(setup.wIndex);
    const std::uint16_t length = le16(setup.wLength);
    Ep0Answer a;
    if (type == USB_TYPE_STANDARD) {
      a = standard(setup.bRequest, recipient, in, value, index);
    } else if (type == USB_TYPE_CLASS && recipient == USB_RECIP_INTERFACE &&
               (index & 0xFF) == kGadgetInterface) {
      a = hid_class(setup.bRequest, in, value, out_data);
    }
    return gadget_detail::finish_ep0(std::move(a), in, length, stats_.refused);
  }

  [[nodiscard]] const HidGadgetStats& stats() const { return stats_; }

 private:
  static std::uint16_t le16(__le16 v) { return gadget_detail::le16(v); }
  static Ep0Answer send(std::vector<std::uint8_t> d) { return gadget_detail::send(std::move(d)); }
  static Ep0Answer ack() { return gadget_detail::ack(); }
  static Ep0Answer stall() { return gadget_detail::stall(); }

  Ep0Answer standard(std::uint8_t request, std::uint8_t recipient, bool in, std::uint16_t value,
                     std::uint16_t index) {
    switch (request) {
      case USB_REQ_GET_DESCRIPTOR:
        if (!in) return stall();
        if (recipient == USB_RECIP_DEVICE && (value >> 8) == USB_DT_STRING)
          return string_descriptor(value & 0xFF);
        if (recipient == USB_RECIP_INTERFACE && (index & 0xFF) == kGadgetInterface) {
          if ((value >> 8) == HID_DT_REPORT) {
            ++stats_.descriptors;
            return send(report_descriptor_);
          }
          if ((value >> 8) == HID_DT_HID) {
            ++stats_.descriptors;
            std::vector<std::uint8_t> d;
            gadget_detail::put_hid_descriptor(d, report_descriptor_.size());
            return send(std::move(d));
          }
        }
        return stall();
      // gadgetfs has already taken the configuration; the endpoint is the
      // caller's business.
      case USB_REQ_SET_CONFIGURATION:
        return in ? stall() : ack();
      case USB_REQ_SET_INTERFACE:
        return !in && recipient == USB_RECIP_INTERFACE && index == kGadgetInterface && value == 0
                   ? ack()
                   : stall();
      case USB_REQ_GET_INTERFACE:
        return in && recipient == USB_RECIP_INTERFACE && index == kGadgetInterface
                   ? send({0})
                   : stall();
      default:
        return stall();
    }
  }

  Ep0Answer string_descriptor(std::uint8_t id) {
    std::vector<std::uint8_t> d;
    if (id == 0) {
      d = {4, USB_DT_STRING, kGadgetLanguage & 0xFF, kGadgetLanguage >> 8};
    } else if (id == kGadgetProductString && !camera_.config().name.empty()) {
      // ASCII names only: each character becomes one UTF-16 unit. A string
      // descriptor holds at most 126 of them.
      const std::string& name = camera_.config().name;
      const std::size_t n = std::min<std::size_t>(name.size(), 126);
      d.push_back(static_cast<std::uint8_t>(2 + 2 * n));
      d.push_back(USB_DT_STRING);
      for (std::size_t i = 0; i < n; ++i) {
        d.push_back(static_cast<std::uint8_t>(name[i] & 0x7F));
        d.push_back(0);
      }
    } else {
      return stall();
    }
    ++stats_.descriptors;
    return send(std::move(d));
  }

  Ep0Answer hid_class(std::uint8_t request, bool in, std::uint16_t value,
                      std::span<const std::uint8_t> out_data) {
    const std::uint8_t report_type = value >> 8;
    const std::uint8_t report_id = value & 0xFF;
    switch (request) {
      case HID_REQ_GET_REPORT: {
        if (!in) return stall();
        ++stats_.get_reports;
        // The camera has neither input nor output reports.
        if (report_type != kHidFeatureReport) return stall();
        // A device answers with the length its descriptor declares (the host
        // truncates to wLength). An undeclared report still goes to the
        // camera, which records it as a breach of the protocol.
        const std::size_t declared = lengths_[report_id] ? lengths_[report_id] : 1;
        std::vector<std::uint8_t> buf(declared, 0);
        buf[0] = report_id;
        const int rc = camera_.get_feature(std::span<std::uint8_t>(buf));
        if (rc < 0) return stall();
        // byte 0 is the device's first reply byte, handed to the hidraw user
        // unchanged, as through uhid.
        buf.resize(std::min<std::size_t>(static_cast<std::size_t>(rc), declared));
        return send(std::move(buf));
      }
      case HID_REQ_SET_REPORT: {
        if (in) return stall();
        ++stats_.set_reports;
        if (report_type != kHidFeatureReport || out_data.empty()) return stall();
        // With numbered reports the data stage starts with the report id, as
        // the hidraw user wrote it.
        const int rc = camera_.set_feature(out_data);
        return rc < 0 ? stall() : ack();
      }
      // usbhid asks for an idle rate of 0 at probe; the camera sends no input
      // reports, so any rate and either protocol are fine.
      case HID_REQ_SET_IDLE:
      case HID_REQ_SET_PROTOCOL:
        return in ? stall() : ack();
      case HID_REQ_GET_IDLE:
        return in ? send({0}) : stall();
      case HID_REQ_GET_PROTOCOL:
        return in ? send({1}) : stall();  // report protocol
      default:
        return stall();
    }
  }

  SimCamera& camera_;
  FeatureLengths lengths_;
  std::vector<std::uint8_t> report_descriptor_;
  HidGadgetStats stats_;
};

}  // namespace lumavix::sim
