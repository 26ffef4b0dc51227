// The bodies of the update engine's worker threads. Each takes its
// parameters from the engine state that the start filled, drives the serial
// flash or the I2C EEPROM of the first camera and reports every phase to a
// notification target. A worker never asks the user anything; it returns the
// outcome notification it posted.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "firmware/engine.h"

namespace lumavix {

// The part of the engine's state that a worker reads (and, for the boot
// header, the file buffer's first bytes and the upload data, writes). The
// receiver's thread does not touch it while a worker runs.
struct EngineState {
  std::array<std::uint8_t, kFileBufferSize> file_buffer{};
  std::uint32_t byte_count = 0;  // bytes of file_buffer to write
  std::array<std::uint8_t, 16> boot_header = {0x7A, 0x3C};
  bool complete_image = false;   // boot-header mode: the file carries its own header
  std::uint8_t plain_type = 0;   // plain mode: eepromType, already checked to be 0..8
  std::uint8_t plain_flags = 0;
  std::uint32_t start_tick = 0;
  std::uint32_t upload_start = 0;
  std::uint32_t upload_length = 0;  // at most kMaxUploadLength
  std::string upload_path;
  // A 4-byte slot for the CRC, then the data read.
  std::array<std::uint8_t, kDumpBufferSize> dump_buffer{};
  // Why the last run refused before touching the camera's memory (an
  // unknown flash part, an image or range that does not fit it); empty when
  // it did not refuse. Set by the worker, read once it has ended.
  std::string refusal;
};

// Boot-header layout in SPI flash: erase the sectors the image covers, write
// the header (code-only image) and the image, read both back and compare,
// then block-protect the flash again.
Notification DownloadWorkerBootHeader(EngineState& s, NotifyTarget& notify);
// Plain SPI-flash layout of the older chips: the file at 0x5000, a copy of
// its bytes 0x54..0x153 at 0x1000, the boot record at 0 once verified.
Notification DownloadWorkerPlainFlash(EngineState& s, NotifyTarget& notify);
// Plain I2C-EEPROM layout: fill with 0xFF, write the file at 0, verify, then
// replace its CRC bytes by the boot record.
Notification DownloadWorkerPlainEeprom(EngineState& s, NotifyTarget& notify);
// Reads the flash into a firmware file: CRC-32 of the data, then the data.
Notification UploadWorkerFlashDump(EngineState& s, NotifyTarget& notify);

}  // namespace lumavix
