// One writer per camera. A run that writes a camera's memories (an update, a
// download, a user-data write, a setting-table download) holds the camera's
// write lock from before its first erase to after its last read-back, and a
// second writer of the same camera, in this process or any other, of this
// user or any other, is refused at once instead of slipping its transfers
// between the first one's page programs. The library lock (library_lock.h)
// only keeps single transactions whole; this one keeps whole runs apart.
//
// The lock is found by the camera's key: its USB port, which every interface
// and node of the camera shares and which stays when the camera is
// reconnected to the same port. The platform's `writers` backend turns the
// key into a lock that every user meets (platform/linux_lock.h,
// platform/win_lock.h); a simulated camera's key is its own (the platform of
// the simulator prefixes it with its state file, PrefixedLockBackend).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devlib/platform.h"

namespace lumavix {

// The key of the camera at `position` of the library's open state: its USB
// port ("usb-1-2", without the configuration and interface of a video
// interface's "usb-1-2:1.0"), or the path the library found it by when the
// platform names no port. Empty when the position is free.
[[nodiscard]] std::string CameraWriterKey(std::int32_t position);

enum class WriterLockStatus : std::uint8_t {
  Held,         // taken; the caller writes
  Busy,         // another writer holds it: write nothing
  Unavailable,  // the lock cannot be made (the reason in `err`)
  NoCamera,     // no camera at the position: nothing to lock, nor to write
};

class CameraWriterLock {
 public:
  // Takes the write lock of the camera at `position` without waiting. On
  // Held, `out` holds it until destroyed, and `err` is empty or names why
  // the lock is narrower than machine-wide (a platform's fallback).
  [[nodiscard]] static WriterLockStatus Take(std::int32_t position,
                                             std::unique_ptr<CameraWriterLock>& out,
                                             SysError& err);
  ~CameraWriterLock();
  CameraWriterLock(const CameraWriterLock&) = delete;
  CameraWriterLock& operator=(const CameraWriterLock&) = delete;

  [[nodiscard]] const std::string& key() const { return key_; }

 private:
  CameraWriterLock(std::string key, std::unique_ptr<NamedLock> lock)
      : key_(std::move(key)), lock_(std::move(lock)) {}
  std::string key_;
  std::unique_ptr<NamedLock> lock_;
};

// Whether the camera at `position` is being written by another run now: its
// lock is taken and let go at once. False when it is free or cannot be told
// (no camera there, no lock to be had).
[[nodiscard]] bool CameraBeingWritten(std::int32_t position);
// The same for the camera whose key is `key` (CameraWriterKey), which need
// not be open; false for an empty key.
[[nodiscard]] bool CameraKeyBeingWritten(const std::string& key);

// Names every lock of `inner` with `prefix` in front: how a simulated
// camera's keys become its own (the simulator's state file in the prefix),
// so that two programs on one state file meet, and no other does.
class PrefixedLockBackend final : public LockBackend {
 public:
  PrefixedLockBackend(LockBackend& inner, std::string prefix)
      : inner_(inner), prefix_(std::move(prefix)) {}
  [[nodiscard]] std::unique_ptr<NamedLock> create(const std::string& name,
                                                  SysError& err) override {
    return inner_.create(prefix_ + name, err);
  }

 private:
  LockBackend& inner_;
  std::string prefix_;
};

}  // namespace lumavix
