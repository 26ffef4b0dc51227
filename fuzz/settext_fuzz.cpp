// Fuzzes the setting text parser and the image layout on in-memory texts.
// Besides memory errors it checks that a laid-out image is consistent with
// its directory and never larger than the buffer it was written into.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settext.h"

namespace {

std::size_t Le16(const std::uint8_t* p) {
  return static_cast<std::size_t>(p[0]) | (static_cast<std::size_t>(p[1]) << 8);
}

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so a read past the text's end is caught.
  std::vector<char> text(data, data + size);
  lumavix::MakeBinFile converter;
  std::string log;
  const lumavix::ParseStatus status =
      converter.ParseSettingBuffer(std::string_view(text.data(), text.size()), log);
  if (status != lumavix::ParseStatus::Ok) {
    Check(converter.arrays().empty());
    return 0;
  }

  for (const lumavix::SettingArray& array : converter.arrays()) {
    Check(array.elementSize == 1 || array.elementSize == 2 || array.elementSize == 4);
    Check(array.elementCount == array.values.size());
    Check(array.nameLength == array.name.size());
  }

  // A small buffer with a guard zone behind it: nothing may land there.
  constexpr std::size_t kGuard = 64;
  for (const std::size_t capacity :
       {lumavix::kTxtMakeBinBufferSize, lumavix::kTableDownloadBufferSize}) {
    std::vector<std::uint8_t> buffer(capacity + kGuard, 0xA5);
    const lumavix::ImageStatus written =
        converter.WriteSettingImage(std::span(buffer).first(capacity));
    for (std::size_t k = capacity; k < buffer.size(); ++k)
      Check(buffer[k] == 0xA5);
    if (written != lumavix::ImageStatus::Ok)
      continue;

    std::size_t imageSize = 0;
    Check(converter.CheckSettingImage(capacity, imageSize) == lumavix::ImageStatus::Ok);
    const std::size_t count = buffer[0];
    Check(count == converter.arrays().size());
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint8_t* entry = buffer.data() + 1 + 9 * k;
      const lumavix::SettingArray& array = converter.arrays()[k];
      const std::size_t namePos = Le16(entry);
      Check(namePos + array.nameLength <= imageSize);
      Check(std::memcmp(buffer.data() + namePos, array.name.data(), array.name.size()) == 0);
      if (array.elementCount > 0)
        Check(Le16(entry + 4) + Le16(entry + 7) <= imageSize);
    }
  }
  return 0;
}
