// Conversion between wide text (UTF-16) and 8-bit text in one code page.
//
// Windows: the ANSI code page of the calling thread (CP_THREAD_ACP); a
// character the code page lacks becomes its default character.
// Linux: a process-wide single-byte code page set by the host (default
// Windows-1252); a character the code page lacks becomes '?'.
#pragma once

#include <string>
#include <string_view>

namespace rd {

// Whole-string conversions, used by the 8-bit-text properties.
std::string WideToAnsi(std::u16string_view text);
std::u16string AnsiToWide(std::string_view text);

// One UTF-16 code unit on its own (a lone surrogate becomes the default
// character). With a multi-byte code page the result may hold two bytes.
std::string WideUnitToAnsi(char16_t unit);

// Linux: selects the process-wide single-byte code page by its number
// (1252, 1251, 866, ...); returns false, changing nothing, when the code page
// is unknown or not single-byte. Windows: the thread's code page rules;
// returns false.
bool SetCodePage(unsigned code_page);
unsigned CodePage();

}  // namespace rd
