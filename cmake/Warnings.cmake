# Project-wide compiler settings: warnings as errors, sanitizers, coverage.
function(rd_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
      -Wno-error=deprecated-declarations
      # GCC 12 reports false overlaps and overflows inside the standard
      # containers when optimising.
      $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict -Wno-stringop-overflow -Wno-stringop-overread -Wno-array-bounds>)
  endif()
endfunction()

if(RD_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(RD_TSAN AND NOT WIN32)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(RD_COVERAGE AND NOT WIN32)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()
