// The simulated camera: a bridge chip with its registers, an SPI NOR flash and
// an I2C bus with a boot EEPROM, answering the vendor HID feature reports
// 0x87 (command), 0x93 (data) and 0x97 (extended I2C) exactly as the device
// access library expects the real bridge to. The same bridge can instead (or
// as well) be reached through extension units of its video-control interface
// (the bridge maker's, an Aveo or an Etron unit) or through a vendor
// property set of the whole device. Every transfer is counted, takes a
// configurable time on the library's clock, can be made to fail on demand,
// and anything that breaks the protocol is recorded as a violation.
//
// All public members are safe to call from several threads: the engine drives
// the camera from its worker while tests read counters.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "sim/i2c_eeprom.h"
#include "sim/spi_flash.h"

namespace lumavix::sim {

inline constexpr std::uint8_t kReport87 = 0x87;  // command
inline constexpr std::uint8_t kReport93 = 0x93;  // data and replies
inline constexpr std::uint8_t kReport97 = 0x97;  // extended I2C
inline constexpr std::size_t kCommandPayload = 4;
inline constexpr std::size_t kDataPayload = 40;
// A GET_REPORT of 0x93 returns this many device bytes.
inline constexpr std::size_t kDataReply = kDataPayload + 1;

// Bridge registers with a meaning of their own.
inline constexpr std::uint16_t kRegChipId = 0x0000;     // 4 bytes, read-only
inline constexpr std::uint16_t kRegBusStatus = 0x0005;  // bit 7 SPI boot, bit 4 I2C no answer
inline constexpr std::uint16_t kRegEepromCtl = 0x0006;  // bit 2 EEPROM write protect
inline constexpr std::uint16_t kRegChipIdByte = 0x000A; // read-only
inline constexpr std::uint16_t kRegGpioOut0 = 0x0080;
inline constexpr std::uint16_t kRegGpioOut1 = 0x0081;
inline constexpr std::uint16_t kRegGpioIn0 = 0x0084;    // reads back 0x80, read-only
inline constexpr std::uint16_t kRegGpioIn1 = 0x0085;    // reads back 0x81, read-only
inline constexpr std::uint8_t kBusStatusSpiBoot = 0x80;
inline constexpr std::uint8_t kBusStatusI2cNak = 0x10;
inline constexpr std::uint8_t kEepromWriteProtect = 0x04;
inline constexpr std::size_t kRegisterSpace = 0x10000;

// The report descriptor of the camera's vendor interface: usage page 0xFF00,
// feature reports 0x87 (4 bytes), 0x93 and 0x97 (40 bytes), one usage each.
[[nodiscard]] std::vector<std::uint8_t> camera_report_descriptor();

// A node of the video-control topology, in node order.
enum class SimNode : std::uint8_t {
  Terminal,        // an input or output terminal
  ProcessingUnit,
  KavexUnit,       // the bridge maker's extension unit
  AveoUnit,
  EtronUnit,
  ForeignUnit,     // another vendor's extension unit
};

// Which vendor property set the whole device answers, if any.
enum class SimPropertySet : std::uint8_t { None, VendorVideo, Bda };

// A camera's topology without any vendor unit: camera terminal, processing
// unit, output terminal.
[[nodiscard]] std::vector<SimNode> plain_topology();

struct SimCameraConfig {
  std::string path;  // assigned by the backend when empty
  // The USB port key of the video-control interface, by which the video and
  // property-set platforms list the camera; "usb-1-N:1.0" when empty.
  std::string port;
  bool hid = true;                // offers the vendor HID interface
  bool capture_device = true;     // listed as a video capture device
  bool receiver_device = false;   // listed as a broadcast-receiver component
  std::vector<SimNode> nodes = plain_topology();
  SimPropertySet property_set = SimPropertySet::None;
  // Selectors the bridge maker's unit stalls, as an older bridge firmware
  // without the extended selectors does.
  std::set<std::uint8_t> refused_selectors;
  std::string name = "LUMAVIX Q";
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  // Register 0x0000..0x0003; the high nibble of the first byte tells the
  // chip generation (0xB for the newer chip).
  std::array<std::uint8_t, 4> chip_id = {0xB2, 0x31, 0x00, 0x00};
  std::uint8_t chip_id_byte = 0xB2;  // register 0x0A
  bool spi_boot = true;              // register 0x05 bit 7
  bool flash_present = true;
  std::array<std::uint8_t, 3> flash_id = {0xC2, 0x20, 0x11};
  std::vector<std::uint8_t> flash_content;   // from address 0; the rest erased
  std::uint32_t eeprom_size = 32 * 1024;
  std::vector<std::uint8_t> eeprom_content;  // from address 0; the rest 0xFF
  std::uint32_t latency_us = 0;
  bool busy_times = true;
  bool stuck_busy = false;
  bool refuse_97 = false;
  std::uint64_t fail_at = 0;
  double fail_rate = 0.0;
  std::uint64_t seed = 1;
  std::optional<std::uint64_t> unplug_after;
  // After a download that ends by protecting the flash again, the camera
  // leaves the bus kReplugLeaveMs later and comes back kReplugAwayMs after
  // that, running what its memories now hold: the reconnection that the
  // completion text asks of the person in front of it.
  bool replug_after_update = false;
};

inline constexpr std::uint32_t kReplugLeaveMs = 300;
inline constexpr std::uint32_t kReplugAwayMs = 1500;

// Transfers seen, by kind. A transfer is one SET_REPORT or GET_REPORT; every
// attempt counts, including those that failed.
struct TransferCounters {
  std::uint64_t total = 0;
  std::uint64_t failed = 0;  // answered with an error, for whatever reason
  std::array<std::uint64_t, 256> sets{};
  std::array<std::uint64_t, 256> gets{};
  // Extension-unit control transfers by selector, property calls by the low
  // byte of the property id.
  std::array<std::uint64_t, 256> xu_sets{};
  std::array<std::uint64_t, 256> xu_gets{};
  std::array<std::uint64_t, 256> prop_sets{};
  std::array<std::uint64_t, 256> prop_gets{};
};

struct Violation {
  std::uint64_t transfer;  // 1-based number of the offending transfer
  std::string message;
};

// The memories that a state file carries.
struct CameraMemories {
  std::vector<std::uint8_t> registers;  // kRegisterSpace bytes
  std::vector<std::uint8_t> flash;
  std::uint8_t flash_status = 0;        // non-volatile status bits
  std::vector<std::uint8_t> eeprom;
};

class SimCamera {
 public:
  explicit SimCamera(SimCameraConfig config);

  // The HID endpoint, with the contract of HidDevice: byte 0 of `report` is
  // the report id; a GET_REPORT stores the device's reply from byte 0 on.
  // Return the byte count or -errno (-EPIPE for a request the device stalls,
  // -EIO for an injected failure, -ENODEV once unplugged).
  [[nodiscard]] int set_feature(std::span<const std::uint8_t> report);
  [[nodiscard]] int get_feature(std::span<std::uint8_t> report);

  // The extension-unit endpoint: one control request on node `q.node`, with
  // the contract of VideoControl::xu_request. A request for a unit the node
  // does not carry fails with -ENOENT without reaching the bridge; the
  // set-support question is answered from the topology alone.
  [[nodiscard]] int xu_request(const XuQuery& q, std::span<std::uint8_t> data);
  [[nodiscard]] std::uint32_t node_count() const;
  [[nodiscard]] bool node_is_extension_unit(std::uint32_t node) const;
  // The length XU_LENGTH announced last for the bridge maker's controls of
  // varying length: what a device answers to GET_LEN for them.
  [[nodiscard]] std::uint8_t xu_announced_length() const;

  // The property-set endpoint, with the contract of
  // PropertySetDevice::property. A set the device does not carry fails with
  // -ENOENT without reaching the bridge; an I2C slave that does not answer
  // fails the call with -EPIPE.
  [[nodiscard]] int property(std::span<std::uint8_t> request);

  [[nodiscard]] const std::string& path() const { return path_; }
  void set_path(std::string path) { path_ = std::move(path); }
  // The USB port key; changing it is unplugging the camera and plugging it
  // into another port.
  [[nodiscard]] std::string port() const;
  void set_port(std::string port);
  [[nodiscard]] const SimCameraConfig& config() const { return config_; }

  // Records.
  [[nodiscard]] TransferCounters counters() const;
  void reset_counters();
  [[nodiscard]] std::vector<Violation> violations() const;
  void clear_violations();
  [[nodiscard]] SpiFlashStats flash_stats() const;
  // The flash's record of erases, programs and reads (SimSpiFlash).
  void record_flash_ops(bool on);
  [[nodiscard]] std::vector<SpiFlashOp> flash_ops() const;

  // Memories, bypassing the protocol (test set-up and inspection).
  [[nodiscard]] std::uint8_t reg(std::uint16_t addr) const;
  void set_reg(std::uint16_t addr, std::uint8_t value);
  [[nodiscard]] std::size_t flash_size() const;
  // Bytes beyond the end of the flash are not returned.
  [[nodiscard]] std::vector<std::uint8_t> flash_bytes(std::uint32_t addr, std::uint32_t len) const;
  void write_flash_bytes(std::uint32_t addr, std::span<const std::uint8_t> bytes);
  // The status register as a 0x05 read would return it now.
  [[nodiscard]] std::uint8_t flash_status();
  void set_flash_protection(std::uint8_t nv_status_bits);
  [[nodiscard]] bool flash_selected() const;
  [[nodiscard]] std::size_t eeprom_size() const;
  [[nodiscard]] std::vector<std::uint8_t> eeprom_bytes(std::uint32_t addr, std::uint32_t len) const;
  void write_eeprom_bytes(std::uint32_t addr, std::span<const std::uint8_t> bytes);

  [[nodiscard]] CameraMemories export_memories() const;
  // Replaces the memories; sizes must match this camera's (checked by the
  // caller with `memories_fit`). The identity registers (chip id, memory
  // kind) keep this camera's values.
  void import_memories(const CameraMemories& m);
  [[nodiscard]] bool memories_fit(const CameraMemories& m, std::string& why) const;

  // Faults and behaviour.
  void set_latency_us(std::uint32_t us);
  void set_fail_at(std::uint64_t transfer);  // 0 = never
  void set_fail_rate(double p, std::uint64_t seed);
  void set_unplug_after(std::optional<std::uint64_t> transfers);
  void unplug();
  void replug();
  [[nodiscard]] bool unplugged() const;
  void set_stuck_busy(bool on);
  void set_busy_times(bool on);
  void set_refuse_97(bool on);
  // Flips the bits of `mask` in the `nth` byte (1-based, counted from this
  // call) that serial-flash read replies carry, status reads included; 0
  // turns it off. Models one bad byte on the way back from the flash.
  void set_corrupt_flash_read(std::uint64_t nth, std::uint8_t mask = 0xFF);
  // A flash whose block-protect bits cannot be cleared (a write-protect pin
  // held low): status writes keep them set.
  void set_stuck_protection(bool on);

 private:
  enum class Pending : std::uint8_t {
    None,
    RegRead8,
    RegRead16,
    RegWrite8,
    RegWrite16,
    I2cRead,
    I2cWrite,
    SpiRead,
    SpiWrite,
    ExtI2cRead,
    ExtI2cWrite,
  };

  enum class Channel : std::uint8_t { Hid, Xu, Prop };
  // What a Kavex-unit get answers, latched by the set before it.
  struct XuLatch {
    std::uint8_t selector = 0;  // 0: nothing latched
    std::uint16_t addr = 0;
    std::uint8_t len = 0;
    std::uint8_t slave = 0;
    std::uint8_t finish = 0;
    std::array<std::uint8_t, 32> reply{};
  };
  // What an Aveo-unit set left for the next set or get.
  struct AveoLatch {
    std::uint8_t command = 0;  // 0x01 register select, 0xE0 I2C read
    std::uint16_t addr = 0;
    std::array<std::uint8_t, 32> reply{};
  };
  // What a property-set set-up left for the data get.
  struct PropLatch {
    std::uint32_t id = 0;  // 0: nothing latched
    std::uint32_t a = 0, b = 0, c = 0;
    std::array<std::uint8_t, 68> payload{};
  };

  // Under the lock.
  [[nodiscard]] int begin_transfer(bool set, std::uint8_t report_id,
                                   Channel channel = Channel::Hid);
  [[nodiscard]] int kavex_set(std::uint32_t selector, std::span<const std::uint8_t> p);
  [[nodiscard]] int kavex_get(std::uint32_t selector, std::span<std::uint8_t> out);
  [[nodiscard]] int aveo_set(std::span<const std::uint8_t> p);
  [[nodiscard]] int aveo_get(std::span<std::uint8_t> out);
  [[nodiscard]] int vendor_video_property(std::uint32_t id, bool set,
                                          std::span<std::uint8_t> request);
  [[nodiscard]] int bda_property(std::uint32_t id, bool set, std::span<std::uint8_t> request);
  [[nodiscard]] int register_property(std::uint32_t id, bool set, bool wide,
                                      std::span<std::uint8_t> request);
  void set_bus_status(bool ack);
  // Records a breach of the protocol; `violation` also refuses the transfer.
  void note_violation(std::string message);
  [[nodiscard]] int violation(std::string message);
  void drop_pending_with_note();
  [[nodiscard]] int on_command(std::span<const std::uint8_t, kCommandPayload> p);
  [[nodiscard]] int on_data_set(std::span<const std::uint8_t> p);
  [[nodiscard]] int on_ext_i2c(std::span<const std::uint8_t> p);
  [[nodiscard]] int on_data_get(std::array<std::uint8_t, kDataReply>& reply);
  [[nodiscard]] std::uint8_t read_reg(std::uint16_t addr) const;
  void write_reg(std::uint16_t addr, std::uint8_t value);
  void reset_identity_registers();
  // One transaction on the I2C bus; false when no slave answered.
  bool i2c_write(std::uint8_t slave, std::span<const std::uint8_t> bytes);
  bool i2c_read(std::uint8_t slave, std::span<std::uint8_t> out);

  mutable std::mutex mu_;
  SimCameraConfig config_;
  std::string path_;
  std::string port_;
  std::vector<std::uint8_t> regs_;
  SimSpiFlash flash_;
  SimEeprom eeprom_;

  Pending pending_ = Pending::None;
  std::array<std::uint8_t, kCommandPayload> pending_cmd_{};
  std::array<std::uint8_t, kDataReply> pending_reply_{};

  TransferCounters counters_;
  std::vector<Violation> violations_;

  std::atomic<std::uint32_t> latency_us_{0};
  std::uint64_t fail_at_ = 0;
  double fail_rate_ = 0.0;
  std::mt19937_64 rng_;
  std::optional<std::uint64_t> unplug_after_;
  bool unplugged_ = false;
  // The reconnection after an update (SimCameraConfig::replug_after_update).
  void settle_replug_locked();
  void power_off_locked();
  std::uint64_t programs_at_plug_ = 0;
  std::uint64_t protects_seen_ = 0;
  std::optional<std::uint32_t> leave_at_ms_;
  bool refuse_97_ = false;
  std::uint64_t corrupt_read_at_ = 0;
  std::uint64_t flash_reply_bytes_ = 0;
  std::uint8_t corrupt_mask_ = 0xFF;
  bool stuck_protection_ = false;

  std::uint8_t xu_length_ = 1;  // what XU_LENGTH announced last
  XuLatch xu_latch_;
  AveoLatch aveo_latch_;
  std::uint32_t prop_select_ = 0;  // register select of the property sets
  bool prop_selected_ = false;
  PropLatch prop_latch_;
};

}  // namespace lumavix::sim
