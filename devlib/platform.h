// The thin platform layers the device access library stands on. Each has a
// Linux implementation (platform/) and the simulated camera's (sim/); the
// library cannot tell them apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace lumavix {

// The real cause of a platform failure, carried up to traces and to the
// user: `code` is an errno value (0 when none applies), `message` a complete
// sentence such as "permission denied on /dev/hidraw3".
struct SysError {
  int code = 0;
  std::string message;
  [[nodiscard]] bool empty() const { return code == 0 && message.empty(); }
};

// One HID interface as listed by the platform, with its report descriptor.
struct HidInterfaceInfo {
  std::string path;                            // opens it with HidBackend::open
  std::vector<std::uint8_t> report_descriptor;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string name;                            // product string, informative
};

// An open HID interface. Both transfers take the whole report buffer whose
// byte 0 carries the report id; they block until the device answers.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // SET_REPORT(Feature) of report.size() bytes. Returns bytes sent, or -errno.
  [[nodiscard]] virtual int set_feature(std::span<const std::uint8_t> report) = 0;
  // GET_REPORT(Feature): report[0] is the report id on entry; the device's
  // reply is stored from report[0] on. Returns bytes received, or -errno.
  [[nodiscard]] virtual int get_feature(std::span<std::uint8_t> report) = 0;
  [[nodiscard]] virtual const std::string& path() const = 0;
};

class HidBackend {
 public:
  virtual ~HidBackend() = default;
  // Lists the HID interfaces present, in a stable order. Interfaces whose
  // descriptor cannot be read are listed with an empty descriptor. Returns
  // false (with `err`) only when no list can be made at all.
  [[nodiscard]] virtual bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) = 0;
  // Opens an interface for reading and writing; nullptr with `err` on failure.
  [[nodiscard]] virtual std::unique_ptr<HidDevice> open(const std::string& path,
                                                        SysError& err) = 0;
};

// A named lock shared by every thread and process that uses the same name,
// released by the kernel when its holder dies. Waiting with a time-out is
// built on try_acquire and the library's clock (devlib/library_lock.h).
class NamedLock {
 public:
  virtual ~NamedLock() = default;
  // Takes the lock if nobody holds it; never waits.
  [[nodiscard]] virtual bool try_acquire() = 0;
  virtual void release() = 0;
};

class LockBackend {
 public:
  virtual ~LockBackend() = default;
  [[nodiscard]] virtual std::unique_ptr<NamedLock> create(const std::string& name,
                                                          SysError& err) = 0;
};

// What the library runs on. Pointers are borrowed; a null backend finds
// nothing (HID) or falls back to a process-local lock (locks).
struct Platform {
  HidBackend* hid = nullptr;
  LockBackend* locks = nullptr;
};

// Lock backend that excludes threads of this process only. Used when no
// platform lock is installed, and by tests that need no second process.
class ProcessLockBackend final : public LockBackend {
 public:
  [[nodiscard]] std::unique_ptr<NamedLock> create(const std::string& name,
                                                  SysError& err) override;
};

}  // namespace lumavix
