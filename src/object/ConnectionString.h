// Reading the connection string: which channel it names, and the serial port
// number after its first three characters.
#pragma once

#include <cstdint>
#include <string_view>

namespace rd {

enum class Channel { None, Serial, Tcp };

// "C" (upper case only) names the serial channel, a decimal digit the TCP
// channel; anything else, or an empty string, none.
Channel ChannelOf(std::u16string_view connection);

// Reads a whole 8-bit text as a 32-bit integer: leading spaces, an optional
// sign, then decimal digits, or hexadecimal digits after "$", "x", "X", "0x"
// or "0X"; nothing may follow. Decimal values outside the 32-bit signed range
// are invalid; hexadecimal values of up to 32 bits are read as two's
// complement. An invalid text reads as -1.
std::int32_t ReadPortNumber(std::string_view text);

}  // namespace rd
