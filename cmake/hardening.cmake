# Hardening, on by default for every build: what a distribution's own flags
# would add, so that a plain `cmake && cmake --build` gives the same
# protections as a package build. Flags a builder passes through the
# environment (CFLAGS, CXXFLAGS, CPPFLAGS, LDFLAGS, as dpkg-buildflags sets
# them) come on top; CMake reads all of them but CPPFLAGS by itself.
option(KESTIVANE_HARDENING "Build with stack protection, fortified functions, full RELRO and PIE" ON)

include(CheckCCompilerFlag)
include(CheckPIESupported)

if(DEFINED ENV{CPPFLAGS} AND NOT "$ENV{CPPFLAGS}" STREQUAL "")
  separate_arguments(kestivane_cppflags UNIX_COMMAND "$ENV{CPPFLAGS}")
  add_compile_options(${kestivane_cppflags})
endif()

if(KESTIVANE_HARDENING)
  foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "KESTIVANE_HAS${flag}" var)
    check_c_compiler_flag(${flag} ${var})
    if(${var})
      add_compile_options(${flag})
    endif()
  endforeach()

  # Fortified functions need optimisation (glibc warns without it), and a
  # sanitizer checks the same accesses better without them. A level the
  # builder already chose is left as it is.
  set(kestivane_all_flags "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} $ENV{CPPFLAGS}")
  if(NOT kestivane_all_flags MATCHES "_FORTIFY_SOURCE"
     AND NOT (KESTIVANE_SANITIZE OR KESTIVANE_TSAN OR KESTIVANE_FUZZ))
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()

  # Every symbol bound at load time and the relocation tables read-only
  # afterwards; plug-ins bind to the relay's names at dlopen then, too.
  add_link_options(LINKER:-z,relro LINKER:-z,now)

  check_pie_supported(LANGUAGES C CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
