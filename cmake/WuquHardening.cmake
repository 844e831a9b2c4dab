# Optimised builds (the default preset, and so the package) get the hardening
# Debian's own packages get: what dpkg-buildflags gives with hardening=+all
# (fortify, the strong stack protector, format checks, full RELRO with
# immediate binding, PIE), with stack clash and control-flow protection,
# which newer dpkg adds as well. The sanitizer build (Debug) stays as it is.
option(WUQU_HARDEN "Build optimised builds with Debian's hardening flags" ON)
set(WUQU_HARDENED OFF)
if(WUQU_HARDEN AND NOT WUQU_SANITIZE AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(WUQU_HARDENED ON)
  add_compile_definitions(_FORTIFY_SOURCE=2)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection
                      -Wformat -Werror=format-security -Wdate-time)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES C CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
