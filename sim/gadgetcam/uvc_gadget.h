// The simulated camera as a USB video-class device, for a user-space gadget on
// gadgetfs: a video-control interface whose topology is the camera's (camera
// terminal, processing unit, the bridge maker's extension unit, output
// terminal) and a minimal video-streaming interface (one uncompressed format,
// one frame size, a bulk endpoint) so that the kernel's uvcvideo binds the
// device and makes a video node. Extension-unit requests, whether uvcvideo
// forwards them or a program sends them raw through usbfs, become
// SimCamera::xu_request calls, the same calls the in-process platform makes.
// The camera never streams: the streaming interface only answers the probe
// and commit controls uvcvideo reads when it binds.
//
// Header-only, as hid_gadget.h.
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usb/video.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "devlib/video_xu.h"
#include "sim/gadgetcam/hid_gadget.h"
#include "sim/sim_camera.h"

namespace lumavix::sim {

inline constexpr std::uint8_t kUvcControlInterface = 0;
inline constexpr std::uint8_t kUvcStreamingInterface = 1;
// UVC 1.0: the probe and commit controls are 26 bytes.
inline constexpr std::uint16_t kUvcVersion = 0x0100;
inline constexpr std::size_t kUvcProbeLength = 26;
inline constexpr std::uint16_t kUvcWidth = 160;
inline constexpr std::uint16_t kUvcHeight = 120;
inline constexpr std::uint32_t kUvcFrameInterval = 333333;  // 30 frames a second, in 100 ns
// The bridge maker's unit declares these controls in its bmControls.
inline constexpr std::array<std::uint8_t, 13> kKavexSelectors = {
    XU_LENGTH,      XU_REG_READ,     XU_REG_WRITE,    XU_I2C_READ,      XU_I2C_WRITE,
    XU_SPI_READ,    XU_SPI_WRITE,    XU_XDATA_READ,   XU_XDATA_WRITE,   XU_I2C_READ_EX,
    XU_I2C_WRITE_EX, XU_XDATA_EX_READ, XU_XDATA_EX_WRITE};
// What GET_INFO answers for every control: GET and SET supported.
inline constexpr std::uint8_t kUvcInfoGetSet = 0x03;

// Whether the camera's topology can be presented: terminals, processing
// units and the bridge maker's units only.
[[nodiscard]] inline bool uvc_gadget_supports(const SimCameraConfig& config, std::string& why) {
  bool unit = false;
  for (SimNode n : config.nodes) {
    if (n == SimNode::KavexUnit) unit = true;
    if (n != SimNode::Terminal && n != SimNode::ProcessingUnit && n != SimNode::KavexUnit) {
      why = "the video-class gadget presents only the bridge maker's extension unit";
      return false;
    }
  }
  if (!unit || config.nodes.size() < 2 || config.nodes.front() != SimNode::Terminal ||
      config.nodes.back() != SimNode::Terminal) {
    why = "the camera's topology has no extension unit between two terminals";
    return false;
  }
  return true;
}

namespace gadget_detail {

inline void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A Guid is kept in the byte order USB descriptors carry.
inline void put_guid(std::vector<std::uint8_t>& out, const Guid& g) {
  out.insert(out.end(), g.begin(), g.end());
}

// The video-control interface: header, then one entity per topology node,
// numbered from 1 in node order, each fed by the one before it.
inline void put_control_interface(std::vector<std::uint8_t>& out, const SimCameraConfig& config) {
  out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, kUvcControlInterface, 0, 0,
                         USB_CLASS_VIDEO, UVC_SC_VIDEOCONTROL, 0, 0});
  const std::size_t header = out.size();
  out.insert(out.end(), {13, USB_DT_CS_INTERFACE, UVC_VC_HEADER});
  put16(out, kUvcVersion);
  put16(out, 0);  // wTotalLength, below
  put32(out, 48000000);
  out.insert(out.end(), {1, kUvcStreamingInterface});
  for (std::size_t i = 0; i < config.nodes.size(); ++i) {
    const auto id = static_cast<std::uint8_t>(i + 1);
    const auto source = static_cast<std::uint8_t>(i);
    const bool last = i + 1 == config.nodes.size();
    switch (config.nodes[i]) {
      case SimNode::Terminal:
        if (!last) {  // a camera terminal without controls
          out.insert(out.end(), {18, USB_DT_CS_INTERFACE, UVC_VC_INPUT_TERMINAL, id});
          put16(out, UVC_ITT_CAMERA);
          out.insert(out.end(), {0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0});
        } else {  // the streaming terminal the video leaves by
          out.insert(out.end(), {9, USB_DT_CS_INTERFACE, UVC_VC_OUTPUT_TERMINAL, id});
          put16(out, UVC_TT_STREAMING);
          out.insert(out.end(), {0, source, 0});
        }
        break;
      case SimNode::ProcessingUnit:
        out.insert(out.end(), {11, USB_DT_CS_INTERFACE, UVC_VC_PROCESSING_UNIT, id, source});
        put16(out, 0);
        out.insert(out.end(), {2, 0, 0, 0});
        break;
      default: {  // the bridge maker's unit
        std::uint32_t controls = 0;
        for (std::uint8_t s : kKavexSelectors) controls |= 1u << (s - 1);
        out.insert(out.end(), {24 + 1 + 4, USB_DT_CS_INTERFACE, UVC_VC_EXTENSION_UNIT, id});
        put_guid(out, kKavexUnitGuid);
        out.insert(out.end(), {static_cast<std::uint8_t>(kKavexSelectors.size()), 1, source, 4});
        put32(out, controls);
        out.push_back(0);
        break;
      }
    }
  }
  const std::size_t total = out.size() - header;
  out[header + 5] = static_cast<std::uint8_t>(total & 0xFF);
  out[header + 6] = static_cast<std::uint8_t>(total >> 8);
}

// The streaming interface: one YUY2 format of one frame size, and the bulk
// endpoint its header names.
inline void put_streaming_interface(std::vector<std::uint8_t>& out, std::uint8_t terminal,
                                    std::uint8_t ep_address, bool high_speed) {
  out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, kUvcStreamingInterface, 0, 1,
                         USB_CLASS_VIDEO, UVC_SC_VIDEOSTREAMING, 0, 0});
  const std::size_t header = out.size();
  out.insert(out.end(), {14, USB_DT_CS_INTERFACE, UVC_VS_INPUT_HEADER, 1});
  put16(out, 0);  // wTotalLength, below
  out.insert(out.end(), {ep_address, 0, terminal, 0, 0, 0, 1, 0});
  out.insert(out.end(), {27, USB_DT_CS_INTERFACE, UVC_VS_FORMAT_UNCOMPRESSED, 1, 1,
                         'Y', 'U', 'Y', '2', 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA,
                         0x00, 0x38, 0x9B, 0x71, 16, 1, 0, 0, 0, 0});
  const std::uint32_t frame_bytes = std::uint32_t{kUvcWidth} * kUvcHeight * 2;
  const std::uint32_t bit_rate = frame_bytes * 8 * 30;
  out.insert(out.end(), {30, USB_DT_CS_INTERFACE, UVC_VS_FRAME_UNCOMPRESSED, 1, 0});
  put16(out, kUvcWidth);
  put16(out, kUvcHeight);
  put32(out, bit_rate);
  put32(out, bit_rate);
  put32(out, frame_bytes);
  put32(out, kUvcFrameInterval);
  out.push_back(1);
  put32(out, kUvcFrameInterval);
  const std::size_t total = out.size() - header;
  out[header + 4] = static_cast<std::uint8_t>(total & 0xFF);
  out[header + 5] = static_cast<std::uint8_t>(total >> 8);
  out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, ep_address, USB_ENDPOINT_XFER_BULK});
  put16(out, high_speed ? 512 : 64);
  out.push_back(0);
}

inline void put_uvc_configuration(std::vector<std::uint8_t>& out, const SimCameraConfig& config,
                                  std::uint8_t ep_address, bool high_speed) {
  const std::size_t start = out.size();
  out.insert(out.end(), {USB_DT_CONFIG_SIZE, USB_DT_CONFIG, 0, 0, 2, kGadgetConfigValue, 0,
                         USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER, 50});
  put_control_interface(out, config);
  put_streaming_interface(out, static_cast<std::uint8_t>(config.nodes.size()), ep_address,
                          high_speed);
  const std::size_t total = out.size() - start;
  out[start + 2] = static_cast<std::uint8_t>(total & 0xFF);
  out[start + 3] = static_cast<std::uint8_t>(total >> 8);
}

}  // namespace gadget_detail

// What gadgetfs's controller file takes to bind the video-class gadget (see
// make_gadget_device_setup). `ep_address` is the streaming interface's bulk
// IN endpoint. False with `error` for a topology it cannot present.
[[nodiscard]] inline bool make_uvc_device_setup(const SimCameraConfig& config,
                                                std::uint8_t ep_address,
                                                std::vector<std::uint8_t>& out,
                                                std::string& error) {
  if (!uvc_gadget_supports(config, error)) return false;
  if ((ep_address & USB_ENDPOINT_DIR_MASK) != USB_DIR_IN ||
      (ep_address & USB_ENDPOINT_NUMBER_MASK) == 0) {
    error = "endpoint address " + std::to_string(ep_address) + " is not an IN endpoint";
    return false;
  }
  out.clear();
  out.insert(out.end(), {0, 0, 0, 0});
  gadget_detail::put_uvc_configuration(out, config, ep_address, false);
  gadget_detail::put_uvc_configuration(out, config, ep_address, true);
  out.insert(out.end(), {USB_DT_DEVICE_SIZE, USB_DT_DEVICE});
  gadget_detail::put16(out, 0x0200);
  out.insert(out.end(), {0, 0, 0, 64});
  gadget_detail::put16(out, config.vendor_id);
  gadget_detail::put16(out, config.product_id);
  gadget_detail::put16(out, kGadgetDeviceVersion);
  out.insert(out.end(), {0, static_cast<std::uint8_t>(config.name.empty() ? 0 : kGadgetProductString),
                         0, 1});
  return true;
}

struct UvcGadgetStats {
  std::uint64_t xu_requests = 0;     // GET_CUR and SET_CUR of a unit's controls
  std::uint64_t probe_requests = 0;  // the streaming interface's probe and commit
  std::uint64_t refused = 0;
};

class UvcGadget {
 public:
  explicit UvcGadget(SimCamera& camera) : camera_(camera) { reset_probe(); }

  // As HidGadget::answer.
  [[nodiscard]] Ep0Answer answer(const usb_ctrlrequest& setup,
                                 std::span<const std::uint8_t> out_data) {
    const std::uint8_t type = setup.bRequestType & USB_TYPE_MASK;
    const std::uint8_t recipient = setup.bRequestType & USB_RECIP_MASK;
    const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
    const std::uint16_t value = le16(setup.wValue);
    const std::uint16_t index = le16(setup.wIndex);
    const std::uint16_t length = le16(setup.wLength);
    Ep0Answer a{Ep0Verdict::Stall, {}};
    if (type == USB_TYPE_STANDARD) {
      a = standard(setup.bRequest, recipient, in, value, index);
    } else if (type == USB_TYPE_CLASS && recipient == USB_RECIP_INTERFACE) {
      if ((index & 0xFF) == kUvcControlInterface && (index >> 8) != 0)
        a = unit_request(setup.bRequest, in, value >> 8, index >> 8, length, out_data);
      else if (index == kUvcStreamingInterface)
        a = streaming_request(setup.bRequest, in, value >> 8, out_data);
    }
    return gadget_detail::finish_ep0(std::move(a), in, length, stats_.refused);
  }

  [[nodiscard]] const UvcGadgetStats& stats() const { return stats_; }

 private:
  static std::uint16_t le16(__le16 v) { return gadget_detail::le16(v); }
  static Ep0Answer send(std::vector<std::uint8_t> d) { return gadget_detail::send(std::move(d)); }
  static Ep0Answer ack() { return gadget_detail::ack(); }
  static Ep0Answer stall() { return gadget_detail::stall(); }

  Ep0Answer standard(std::uint8_t request, std::uint8_t recipient, bool in, std::uint16_t value,
                     std::uint16_t index) {
    switch (request) {
      case USB_REQ_GET_DESCRIPTOR:
        if (!in || recipient != USB_RECIP_DEVICE || (value >> 8) != USB_DT_STRING) return stall();
        return string_descriptor(value & 0xFF);
      case USB_REQ_SET_CONFIGURATION:
        return in ? stall() : ack();
      // One alternate setting per interface.
      case USB_REQ_SET_INTERFACE:
        return !in && recipient == USB_RECIP_INTERFACE && index <= kUvcStreamingInterface &&
                       value == 0
                   ? ack()
                   : stall();
      case USB_REQ_GET_INTERFACE:
        return in && recipient == USB_RECIP_INTERFACE && index <= kUvcStreamingInterface
                   ? send({0})
                   : stall();
      default:
        return stall();
    }
  }

  Ep0Answer string_descriptor(std::uint8_t id) {
    if (id == 0) return send({4, USB_DT_STRING, kGadgetLanguage & 0xFF, kGadgetLanguage >> 8});
    const std::string& name = camera_.config().name;
    if (id != kGadgetProductString || name.empty()) return stall();
    const std::size_t n = std::min<std::size_t>(name.size(), 126);
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * n), USB_DT_STRING};
    for (std::size_t i = 0; i < n; ++i) d.insert(d.end(), {std::uint8_t(name[i] & 0x7F), 0});
    return send(std::move(d));
  }

  // A request to the unit with id `unit` (its node is unit - 1).
  Ep0Answer unit_request(std::uint8_t request, bool in, std::uint8_t selector, std::uint8_t unit,
                         std::uint16_t length, std::span<const std::uint8_t> out_data) {
    const std::uint32_t node = unit - 1u;
    if (!camera_.node_is_extension_unit(node) || selector == 0) return stall();
    switch (request) {
      case UVC_GET_INFO:
        return in ? send({kUvcInfoGetSet}) : stall();
      case UVC_GET_LEN: {
        if (!in) return stall();
        const std::uint16_t len = selector == XU_LENGTH ? 1
                                  : xu_length_varies(selector)
                                      ? camera_.xu_announced_length()
                                      : static_cast<std::uint16_t>(kXuExtendedLen);
        return send({static_cast<std::uint8_t>(len & 0xFF), static_cast<std::uint8_t>(len >> 8)});
      }
      case UVC_GET_CUR:
      case UVC_SET_CUR: {
        if (in != (request == UVC_GET_CUR)) return stall();
        ++stats_.xu_requests;
        XuQuery q;
        q.unit = kKavexUnitGuid;
        q.selector = selector;
        q.flags = in ? kXuFlagGet : kXuFlagSet;
        q.node = node;
        q.route = XuRoute::RawUsb;
        std::vector<std::uint8_t> buf = in ? std::vector<std::uint8_t>(length, 0)
                                           : std::vector<std::uint8_t>(out_data.begin(),
                                                                       out_data.end());
        const int rc = camera_.xu_request(q, buf);
        if (rc < 0) return stall();
        return in ? send(std::move(buf)) : ack();
      }
      default:
        return stall();
    }
  }

  void reset_probe() {
    probe_.assign(kUvcProbeLength, 0);
    probe_[2] = 1;  // bFormatIndex
    probe_[3] = 1;  // bFrameIndex
    for (int i = 0; i < 4; ++i) probe_[4 + i] = static_cast<std::uint8_t>(kUvcFrameInterval >> (8 * i));
    const std::uint32_t frame_bytes = std::uint32_t{kUvcWidth} * kUvcHeight * 2;
    for (int i = 0; i < 4; ++i) probe_[18 + i] = static_cast<std::uint8_t>(frame_bytes >> (8 * i));
    for (int i = 0; i < 4; ++i) probe_[22 + i] = static_cast<std::uint8_t>(512u >> (8 * i));
  }

  // The probe and commit controls: every GET answers the one set of
  // parameters the camera has; a SET is taken as it comes.
  Ep0Answer streaming_request(std::uint8_t request, bool in, std::uint8_t selector,
                              std::span<const std::uint8_t> out_data) {
    if (selector != UVC_VS_PROBE_CONTROL && selector != UVC_VS_COMMIT_CONTROL) return stall();
    ++stats_.probe_requests;
    (void)out_data;
    switch (request) {
      case UVC_SET_CUR:
        return in ? stall() : ack();
      case UVC_GET_CUR:
      case UVC_GET_MIN:
      case UVC_GET_MAX:
      case UVC_GET_DEF:
        return in ? send(probe_) : stall();
      case UVC_GET_RES:
        return in ? send(std::vector<std::uint8_t>(kUvcProbeLength, 0)) : stall();
      case UVC_GET_LEN:
        return in ? send({kUvcProbeLength, 0}) : stall();
      case UVC_GET_INFO:
        return in ? send({kUvcInfoGetSet}) : stall();
      default:
        return stall();
    }
  }

  SimCamera& camera_;
  std::vector<std::uint8_t> probe_;
  UvcGadgetStats stats_;
};

}  // namespace lumavix::sim
