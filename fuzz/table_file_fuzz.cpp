// Fuzzes the .bin setting-table loader and the table address text: a table
// is taken whole or refused, never cut or read past its buffer.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_file.h"
#include "settings/tables.h"

using lumavix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 70000) return 0;
  const std::string& path = lumavix::fuzz::scratch_path("table") ;
  lumavix::fuzz::write_scratch(path, data, size);
  constexpr std::size_t kBuffer = 4096;
  std::vector<std::uint8_t> buffer(kBuffer);
  lumavix::TableResult result;
  if (lumavix::ReadSettingTableFile(path, buffer, result) &&
      result.outcome == lumavix::TableOutcome::NotRequested && result.size > 0) {
    check(result.size == size && size <= kBuffer);
    check(std::equal(data, data + size, buffer.begin()));
  }
  (void)lumavix::ParseAddressText(
      std::string_view(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64)));
  return 0;
}
