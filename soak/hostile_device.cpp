#include "soak/hostile_device.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/flash.h"
#include "firmware/image.h"
#include "settings/userdata.h"

namespace lumavix::hostile {
namespace {

class HostileDevice final : public HidDevice {
 public:
  HostileDevice(HostileHid& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
  int set_feature(std::span<const std::uint8_t> report) override {
    return owner_.set_feature(report);
  }
  int get_feature(std::span<std::uint8_t> report) override { return owner_.get_feature(report); }
  const std::string& path() const override { return path_; }

 private:
  HostileHid& owner_;
  std::string path_;
};

constexpr std::uint32_t kGoneLatencyUs = 100'000;
constexpr int kErrors[] = {-EIO, -EPIPE, -ENODEV, -ETIMEDOUT, -EPROTO, -EAGAIN};

}  // namespace

HostileHid::HostileHid(ByteSource& source, sim::SimCamera& camera, std::uint8_t hostility,
                       std::uint32_t latency_us, WhenExhausted when_exhausted)
    : source_(source),
      camera_(camera),
      hostility_(hostility),
      latency_us_(std::max<std::uint32_t>(latency_us, 1)),
      when_exhausted_(when_exhausted) {}

bool HostileHid::enumerate(std::vector<HidInterfaceInfo>& out, SysError&) {
  out.clear();
  // One to three interfaces; each descriptor is the camera's, the camera's
  // with bytes changed, or arbitrary bytes of arbitrary length.
  const int count = 1 + source_.next() % 3;
  for (int i = 0; i < count; ++i) {
    HidInterfaceInfo info;
    info.path = "/dev/hostile" + std::to_string(i);
    info.vendor_id = static_cast<std::uint16_t>(source_.next() << 8 | source_.next());
    info.product_id = static_cast<std::uint16_t>(source_.next() << 8 | source_.next());
    const std::uint8_t kind = source_.next();
    if (kind < 128) {
      info.report_descriptor = sim::camera_report_descriptor();
    } else if (kind < 200) {
      info.report_descriptor = sim::camera_report_descriptor();
      const int changes = 1 + source_.next() % 4;
      for (int k = 0; k < changes; ++k) {
        const std::size_t at = source_.next() % info.report_descriptor.size();
        info.report_descriptor[at] = source_.next();
      }
      if (source_.next() < 64) info.report_descriptor.resize(source_.next() % 48);
    } else {
      info.report_descriptor.resize(source_.next() % 96);
      for (std::uint8_t& b : info.report_descriptor) b = source_.next();
    }
    out.push_back(std::move(info));
  }
  return true;
}

std::unique_ptr<HidDevice> HostileHid::open(const std::string& path, SysError& err) {
  if (source_.next() == 0xFF) {
    err = {EACCES, "permission denied on " + path};
    return nullptr;
  }
  return std::make_unique<HostileDevice>(*this, path);
}

void HostileHid::arm_runaway_limit(std::uint32_t limit_ms) {
  limit_start_ms_ = lumavix::clock().ticks_ms();
  limit_ms_ = limit_ms;
  runaway_.store(false);
}

bool HostileHid::past_limit() {
  if (limit_ms_ == 0) return false;
  if (lumavix::clock().ticks_ms() - limit_start_ms_ > limit_ms_) runaway_.store(true);
  return runaway_.load();
}

bool HostileHid::gone() {
  ++stats_.transfers;
  const bool unplugged = source_.exhausted() && when_exhausted_ == WhenExhausted::Unplugged;
  // A device that is gone fails slowly, as a USB time-out does; it also
  // keeps the library's time-outs cheap to wait out.
  lumavix::clock().sleep_us(unplugged ? kGoneLatencyUs : latency_us_);
  return past_limit() || unplugged;
}

bool HostileHid::tamper() {
  if (source_.exhausted()) return false;
  return source_.next() < hostility_;
}

int HostileHid::set_feature(std::span<const std::uint8_t> report) {
  if (gone()) return -ENODEV;
  if (!tamper()) {
    ++stats_.passed;
    return camera_.set_feature(report);
  }
  const std::uint8_t action = source_.next() % 4;
  switch (action) {
    case 0: {  // the payload arrives changed
      ++stats_.corrupted;
      std::vector<std::uint8_t> changed(report.begin(), report.end());
      if (changed.size() > 1) {
        changed[1 + source_.next() % (changed.size() - 1)] ^= static_cast<std::uint8_t>(1 | source_.next());
      }
      return camera_.set_feature(changed);
    }
    case 1:
      ++stats_.failed;
      return kErrors[source_.next() % std::size(kErrors)];
    case 2:  // accepted in part
      ++stats_.short_replies;
      return static_cast<int>(source_.next() % std::max<std::size_t>(report.size(), 1));
    default:  // swallowed: reported sent, never arrives
      ++stats_.garbage;
      return static_cast<int>(report.size());
  }
}

int HostileHid::get_feature(std::span<std::uint8_t> report) {
  if (gone()) return -ENODEV;
  if (!tamper()) {
    ++stats_.passed;
    return camera_.get_feature(report);
  }
  const std::uint8_t action = source_.next() % 4;
  switch (action) {
    case 0: {  // the camera's reply with bytes changed
      ++stats_.corrupted;
      ++stats_.replies_tampered;
      const int n = camera_.get_feature(report);
      if (n > 0) {
        const int changes = 1 + source_.next() % 3;
        for (int k = 0; k < changes; ++k)
          report[source_.next() % static_cast<std::size_t>(n)] = source_.next();
      }
      return n;
    }
    case 1:
      ++stats_.failed;
      return kErrors[source_.next() % std::size(kErrors)];
    case 2: {  // a short reply: fewer bytes than asked, possibly none
      ++stats_.short_replies;
      ++stats_.replies_tampered;
      const int n = camera_.get_feature(report);
      if (n <= 0) return n;
      return static_cast<int>(source_.next() % static_cast<std::size_t>(n));
    }
    default: {  // arbitrary bytes, the whole buffer
      ++stats_.garbage;
      ++stats_.replies_tampered;
      for (std::uint8_t& b : report) b = source_.next();
      return static_cast<int>(report.size());
    }
  }
}

// ------------------------------------------------------------- the drive --

namespace {

// Every operation must end within this much virtual time; the longest
// legitimate chains are a few 3000 ms status waits per piece of a range.
constexpr std::uint32_t kOperationLimitMs = 10 * 60 * 1000;

class Driver {
 public:
  Driver(HostileHid& device, sim::SimCamera& camera) : device_(device), camera_(camera) {}

  template <typename F>
  void op(const char* name, F&& f) {
    device_.arm_runaway_limit(kOperationLimitMs);
    f();
    if (device_.runaway())
      problems_.push_back(std::string(name) + " did not end within " +
                          std::to_string(kOperationLimitMs) + " virtual ms");
  }
  void fail(std::string p) { problems_.push_back(std::move(p)); }
  std::vector<std::string> take() { return std::move(problems_); }

 private:
  HostileHid& device_;
  [[maybe_unused]] sim::SimCamera& camera_;
  std::vector<std::string> problems_;
};

}  // namespace

std::vector<std::string> drive_library(HostileHid& device, sim::SimCamera& camera,
                                       bool with_download, const std::string& firmware_path,
                                       std::span<const std::uint8_t> image) {
  VirtualClock clock(5000);
  set_clock(&clock);
  ProcessLockBackend locks;
  set_platform({&device, &locks});
  Driver d(device, camera);

  int opened = 0;
  d.op("OpenDevices", [&] { opened = OpenDevices(); });
  if (opened != 1) {
    CloseDevices();
    set_platform({});
    set_clock(nullptr);
    return d.take();
  }

  d.op("GetDevChipGen", [&] {
    std::uint8_t gen = 0xEE;
    const std::int32_t r = kvVidHidCls_GetDevChipGen(0, gen);
    if (gen != 0 && gen != 2) d.fail("GetDevChipGen gave generation " + std::to_string(gen));
    if (r != 0 && r != 1) d.fail("GetDevChipGen returned " + std::to_string(r));
  });
  for (const std::uint8_t len : {1, 2, 3, 4, 0, 255}) {
    d.op("RegRead", [&] {
      std::uint32_t value = 0xDEADBEEF;
      const HRESULT32 r = kvVidHidCls_RegRead(0x0000, len, value);
      if ((len == 3 || len == 0 || len == 255) && r >= 0)
        d.fail("RegRead of length " + std::to_string(len) + " succeeded");
      if (r < 0 && value != 0xDEADBEEF) d.fail("a failed RegRead wrote its output");
    });
  }
  d.op("RegWrite", [&] {
    const std::uint32_t value = 0x5A;
    (void)kvVidHidCls_RegWrite(0x0080, 1, value);
  });
  for (const std::uint8_t len : {1, 16, 38, 39, 40, 64}) {
    d.op("I2cRead", [&] {
      const std::uint8_t sub[2] = {0x00, 0x10};
      std::vector<std::uint8_t> out(len, 0xCC);
      const HRESULT32 r = kvVidHidCls_I2cRead(kEepromSlave, 2, sub, len, out.data());
      if (len > 39 && r >= 0) d.fail("I2cRead of " + std::to_string(len) + " bytes succeeded");
    });
  }
  d.op("I2cWriteDev", [&] {
    const std::uint8_t data[6] = {0x00, 0x20, 1, 2, 3, 4};
    (void)kvVidHidCls_I2cWriteDev(0, kEepromSlave, sizeof data, data);
  });
  for (const std::uint8_t rlen : {1, 3, 32, 40, 41, 64}) {
    d.op("SpiCmdRead", [&] {
      const std::uint8_t cmd[4] = {0x03, 0, 0, 0};
      std::vector<std::uint8_t> out(rlen, 0xCC);
      const HRESULT32 r = kvVidHidCls_SpiCmdRead(0, 1, 4, cmd, rlen, out.data());
      if (rlen > 40 && r >= 0) d.fail("SpiCmdRead of " + std::to_string(rlen) + " bytes succeeded");
    });
  }
  d.op("SpiCmdWrite", [&] {
    const std::uint8_t op = 0x04;
    (void)kvVidHidCls_SpiCmdWrite(0, 1, 0, nullptr, 1, &op);
  });
  d.op("GetInfo", [&] {
    SpiFlashInfo info;
    if (kvVidHidCls_SPI_Flash_GetInfo(info)) {
      const auto types = spi_flash_types();
      const bool known = std::any_of(types.begin(), types.end(), [&](const SpiFlashType& t) {
        return t.page_size == info.page_size && t.capacity == info.capacity;
      });
      if (!known) d.fail("GetInfo succeeded with a geometry of no known flash type");
    }
  });
  for (const std::uint32_t count : {1u, 32u, 33u, 300u, 4096u}) {
    d.op("Read", [&] {
      std::vector<std::uint8_t> out(count, 0xCC);
      (void)kvVidHidCls_SPI_Flash_Read(0x1000 - 7, count, out.data());
    });
  }
  std::vector<std::uint8_t> pattern(0x1000);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);
  d.op("SectorErase", [&] { (void)kvVidHidCls_SPI_Flash_SectorErase(0, 0x8000); });
  d.op("ProgramRange", [&] { (void)ProgramRange(0x8000, 0x300, pattern.data(), nullptr); });
  d.op("EraseProgramRange", [&] {
    (void)EraseProgramRange(0x9000, static_cast<std::uint32_t>(pattern.size()), pattern.data(),
                            nullptr);
  });
  d.op("RewriteSectorVerified", [&] {
    const SectorPatch patch{0x10, std::span<const std::uint8_t>(pattern).first(64)};
    const std::uint64_t tampered = device.stats().replies_tampered;
    if (RewriteSectorVerified(0xA000, std::span<const SectorPatch>(&patch, 1))) {
      // Verified by reading back: unless a reply was tampered with on the
      // way, the flash holds the patch.
      const auto back = camera.flash_bytes(0xA010, 64);
      if (device.stats().replies_tampered == tampered &&
          !std::equal(back.begin(), back.end(), pattern.begin()))
        d.fail("RewriteSectorVerified succeeded but the sector differs");
    }
  });
  d.op("SetProtection", [&] { (void)kvVidHidCls_SPI_Flash_SetProtection(0, 1); });
  d.op("I2cEepromReadRetry", [&] {
    std::vector<std::uint8_t> out(kEepromPiece, 0);
    (void)I2cEepromReadRetry(0x0100, kEepromPiece, out.data());
  });
  d.op("I2cEepromWriteRetry", [&] {
    (void)I2cEepromWriteRetry(0x0100, kEepromPiece, pattern.data());
  });
  d.op("ReadUserDataBlock", [&] {
    EepromUserData record;
    if (ReadUserDataBlock(record) && record.chipType != 1 && record.chipType != 2)
      d.fail("ReadUserDataBlock gave chip type " + std::to_string(record.chipType));
  });

  if (with_download && !firmware_path.empty()) {
    NotifyQueue queue;
    RecordingPrompter prompter(MessageAnswer::Ok);
    DownloadRequest r;
    r.notifyWindow = &queue;
    r.owner = &prompter;
    r.file0Path = firmware_path;
    const std::uint64_t tampered = device.stats().replies_tampered;
    d.op("download", [&] {
      if (StartDownload(r) != kNoWorker) WaitForWorker();
    });
    const std::vector<Notification> seq = queue.drain();
    const auto outcomes =
        std::count_if(seq.begin(), seq.end(), [](const Notification& n) { return is_outcome(n); });
    if (outcomes > 1 || (outcomes == 0 && !seq.empty()))
      d.fail("download posted " + std::to_string(outcomes) + " outcomes");
    for (const Notification& n : seq) {
      // Replies made up to match the image can fool the read-back; a false
      // success without them is the library's fault.
      if (is_outcome(n) && is_success(n) && image.size() > kFirmwareCrcSize &&
          device.stats().replies_tampered == tampered) {
        const auto body = image.subspan(kFirmwareCrcSize);
        const auto flash = camera.flash_bytes(0, static_cast<std::uint32_t>(body.size()));
        if (!std::equal(flash.begin(), flash.end(), body.begin(), body.end()))
          d.fail("download reported success but the flash differs from the image");
      }
    }
  }

  CloseDevices();
  set_platform({});
  set_clock(nullptr);
  return d.take();
}

}  // namespace lumavix::hostile
