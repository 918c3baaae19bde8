# cmake -DPAGE=<file or empty> -DOUT=<header> [-DVAR=Script] -P EmbedPage.cmake
# Writes the file as a byte array kVARData of kVARSize bytes (VAR defaults to
# Page); without the file, a short fallback text.
if(NOT VAR)
  set(VAR Page)
endif()
if(PAGE AND EXISTS "${PAGE}")
  file(READ "${PAGE}" rd_hex HEX)
else()
  string(HEX "<!doctype html><title>raroredoziri-service</title><p>The scale page is not part of this build. The API: GET /scales, GET /scales/NAME/weight, GET /scales/NAME/events, POST /scales/NAME/commands/COMMAND.</p>\n" rd_hex)
endif()
string(LENGTH "${rd_hex}" rd_length)
math(EXPR rd_size "${rd_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," rd_bytes "${rd_hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" rd_bytes "${rd_bytes}")
get_filename_component(rd_name "${PAGE}" NAME)
file(WRITE "${OUT}.tmp" "// Generated from tools/service/page/${rd_name}: served by the service.
#pragma once
#include <cstddef>
namespace rd::service {
inline constexpr std::size_t k${VAR}Size = ${rd_size};
inline constexpr unsigned char k${VAR}Data[] = {
${rd_bytes}0x00};
}  // namespace rd::service
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
