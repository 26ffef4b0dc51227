// Conversion between the UTF-16 texts of the windows and the UTF-8 of paths,
// the command line and logs. Neither direction fails: what cannot be
// converted becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace lumavix {

// UTF-8 form of a text, for the command line and for logs. Unpaired
// surrogates become U+FFFD.
[[nodiscard]] std::string ToUtf8(std::u16string_view text);
// The UTF-16 form of a UTF-8 text (a path, a file name): each byte that
// starts no valid sequence (a stray, overlong or truncated one, an encoded
// surrogate) becomes one U+FFFD, the rest is kept.
[[nodiscard]] std::u16string FromUtf8(std::string_view text);

}  // namespace lumavix
