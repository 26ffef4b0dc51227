// A scripted HID platform for protocol tests: every transfer is recorded
// byte for byte, and replies come from a handler the test provides.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devlib/platform.h"

namespace lumavix::test {

// A vendor interface declaring feature reports 0x87 (4 bytes), 0x93 and
// 0x97 (40 bytes each), one vendor usage each, as the camera's bridge does.
inline std::vector<std::uint8_t> camera_descriptor(bool with_97 = true) {
  std::vector<std::uint8_t> d = {
      0x06, 0x00, 0xFF,        // Usage Page (vendor 0xFF00)
      0x09, 0x01,              // Usage 1
      0xA1, 0x01,              // Collection (Application)
      0x15, 0x00,              //   Logical Minimum 0
      0x26, 0xFF, 0x00,        //   Logical Maximum 255
      0x75, 0x08,              //   Report Size 8
      0x85, 0x87, 0x95, 0x04,  //   Report ID 0x87, Report Count 4
      0x09, 0x02, 0xB1, 0x02,  //   Usage 2, Feature (Data,Var,Abs)
      0x85, 0x93, 0x95, 0x28,  //   Report ID 0x93, Report Count 40
      0x09, 0x03, 0xB1, 0x02,  //   Usage 3, Feature
  };
  if (with_97) {
    // One byte at a time: GCC 12 takes a range insert here for a copy past
    // the end (-Warray-bounds) when it inlines it.
    for (std::uint8_t b : {0x85, 0x97, 0x95, 0x28, 0x09, 0x04, 0xB1, 0x02}) d.push_back(b);
  }
  d.push_back(0xC0);  // End Collection
  return d;
}

// A boot-protocol mouse: buttons and X/Y input, no feature reports.
inline std::vector<std::uint8_t> mouse_descriptor() {
  return {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09,
          0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01,
          0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30,
          0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
          0xC0, 0xC0};
}

struct Transfer {
  bool set = false;  // SET_REPORT or GET_REPORT
  std::vector<std::uint8_t> bytes;  // what was sent, or the request buffer
};

class FakeHidDevice final : public HidDevice {
 public:
  // Answers a GET_REPORT: fills `report` (byte 0 holds the report id on
  // entry) and returns the byte count or -errno.
  using GetHandler = std::function<int(std::span<std::uint8_t> report)>;
  // Decides a SET_REPORT: returns the byte count or -errno.
  using SetHandler = std::function<int(std::span<const std::uint8_t> report)>;

  explicit FakeHidDevice(std::string path) : path_(std::move(path)) {}

  int set_feature(std::span<const std::uint8_t> report) override {
    log.push_back({true, {report.begin(), report.end()}});
    return on_set ? on_set(report) : static_cast<int>(report.size());
  }
  int get_feature(std::span<std::uint8_t> report) override {
    log.push_back({false, {report.begin(), report.end()}});
    if (!on_get) return -EIO;
    return on_get(report);
  }
  const std::string& path() const override { return path_; }

  std::vector<Transfer> log;
  SetHandler on_set;
  GetHandler on_get;

 private:
  std::string path_;
};

// Hands out FakeHidDevices that stay owned by the test (the library's handle
// forwards to them), so the log survives the library closing its handles.
class FakeHidBackend final : public HidBackend {
 public:
  struct Entry {
    HidInterfaceInfo info;
    std::shared_ptr<FakeHidDevice> device;
    int open_error = 0;  // errno to fail open() with
  };

  FakeHidDevice& add(std::string path, std::vector<std::uint8_t> descriptor) {
    Entry e;
    e.info.path = path;
    e.info.report_descriptor = std::move(descriptor);
    e.device = std::make_shared<FakeHidDevice>(path);
    entries.push_back(e);
    return *entries.back().device;
  }

  bool enumerate(std::vector<HidInterfaceInfo>& out, SysError&) override {
    for (const Entry& e : entries) out.push_back(e.info);
    return true;
  }

  std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override {
    for (const Entry& e : entries) {
      if (e.info.path != path) continue;
      if (e.open_error) {
        err = {e.open_error, "permission denied on " + path};
        return nullptr;
      }
      ++opens;
      return std::make_unique<Forward>(e.device);
    }
    err = {ENOENT, path + " is gone"};
    return nullptr;
  }

  std::vector<Entry> entries;
  int opens = 0;

 private:
  class Forward final : public HidDevice {
   public:
    explicit Forward(std::shared_ptr<FakeHidDevice> d) : d_(std::move(d)) {}
    int set_feature(std::span<const std::uint8_t> r) override { return d_->set_feature(r); }
    int get_feature(std::span<std::uint8_t> r) override { return d_->get_feature(r); }
    const std::string& path() const override { return d_->path(); }

   private:
    std::shared_ptr<FakeHidDevice> d_;
  };
};

}  // namespace lumavix::test
