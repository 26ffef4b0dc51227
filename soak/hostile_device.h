// A hostile HID device: it stands in front of a simulated camera and, as a
// byte source dictates, passes a transfer through, corrupts it, fails it,
// answers short or answers with arbitrary bytes; it also lists arbitrary
// report descriptors. `drive_library` then runs every library operation
// against it and checks what the library can be held to: it stays inside
// its buffers (under ASan), it ends in bounded virtual time, and what it
// reports as success is sound where it can know.
//
// The byte source is a seeded generator for the tests and the fuzzer's input
// for the fuzz target, so any finding replays from its seed or its input.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "sim/sim_camera.h"

namespace lumavix::hostile {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next decision byte; once exhausted, 0 for ever.
  [[nodiscard]] virtual std::uint8_t next() = 0;
  [[nodiscard]] virtual bool exhausted() const = 0;
};

class RandomSource final : public ByteSource {
 public:
  explicit RandomSource(std::uint64_t seed) : rng_(seed) {}
  std::uint8_t next() override { return static_cast<std::uint8_t>(rng_()); }
  bool exhausted() const override { return false; }

 private:
  std::mt19937_64 rng_;
};

class ScriptSource final : public ByteSource {
 public:
  explicit ScriptSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t next() override { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }
  bool exhausted() const override { return pos_ >= bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

struct HostileStats {
  std::uint64_t transfers = 0;
  std::uint64_t passed = 0;
  std::uint64_t corrupted = 0;
  std::uint64_t failed = 0;
  std::uint64_t short_replies = 0;
  std::uint64_t garbage = 0;
  // Replies whose bytes were not the camera's (changed, cut short or
  // arbitrary): a read-back among them can fool any verification.
  std::uint64_t replies_tampered = 0;
};

// What the device does once its source is exhausted.
enum class WhenExhausted : std::uint8_t { PassThrough, Unplugged };

class HostileHid final : public HidBackend {
 public:
  // `hostility` is the chance, in 256ths, that a transfer is tampered with.
  // Each transfer takes `latency_us` on the library's clock, so every
  // polling loop of the library moves virtual time forward.
  HostileHid(ByteSource& source, sim::SimCamera& camera, std::uint8_t hostility,
             std::uint32_t latency_us, WhenExhausted when_exhausted);

  bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) override;
  std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override;

  // Virtual time past `limit_ms` from now makes every transfer fail and
  // marks the run as runaway: a loop that still does not end is a hang.
  void arm_runaway_limit(std::uint32_t limit_ms);
  [[nodiscard]] bool runaway() const { return runaway_.load(); }
  [[nodiscard]] const HostileStats& stats() const { return stats_; }

  // The device side, called by the open handles.
  int set_feature(std::span<const std::uint8_t> report);
  int get_feature(std::span<std::uint8_t> report);

 private:
  // Counts and times a transfer; true when it must fail as unplugged.
  [[nodiscard]] bool gone();
  [[nodiscard]] bool tamper();
  [[nodiscard]] bool past_limit();

  ByteSource& source_;
  sim::SimCamera& camera_;
  std::uint8_t hostility_;
  std::uint32_t latency_us_;
  WhenExhausted when_exhausted_;
  std::uint32_t limit_start_ms_ = 0;
  std::uint32_t limit_ms_ = 0;
  std::atomic<bool> runaway_{false};
  HostileStats stats_;
};

// Runs every library operation (library start with the listed descriptors,
// chip generation, registers, I2C, serial-flash commands, GetInfo, Read,
// ProgramRange, EraseProgramRange, sector erase, protection, the EEPROM
// transfers, the user-data block read and, when `with_download`, a complete
// download through the engine) against `device`. Installs a virtual clock and
// the device as the platform for the duration and restores the defaults.
// Returns the broken guarantees, one sentence each; empty when sound.
// `firmware_path` names a firmware file of `image` (CRC first).
[[nodiscard]] std::vector<std::string> drive_library(HostileHid& device, sim::SimCamera& camera,
                                                     bool with_download,
                                                     const std::string& firmware_path,
                                                     std::span<const std::uint8_t> image);

}  // namespace lumavix::hostile
