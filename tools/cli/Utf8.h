// UTF-8 on the command line, UTF-16 in the Scale object.
#pragma once

#include <string>
#include <string_view>

namespace rd::cli {

// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace rd::cli
