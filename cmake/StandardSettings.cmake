# Interface target carrying the warnings and sanitizer flags every target of
# the project is built with.
option(HVX_WERROR "Treat warnings as errors" OFF)
option(HVX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_library(hvx_settings INTERFACE)

target_compile_options(hvx_settings INTERFACE
  -Wall -Wextra -Wshadow -Wformat=2 -Wno-format-nonliteral
  $<$<BOOL:${HVX_WERROR}>:-Werror>)
target_compile_definitions(hvx_settings INTERFACE _GNU_SOURCE)

if(HVX_SANITIZE)
  target_compile_options(hvx_settings INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(hvx_settings INTERFACE -fsanitize=address,undefined)
endif()
