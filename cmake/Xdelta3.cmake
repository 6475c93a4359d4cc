# xdelta3's library core, for brightwick-pack alone: its VCDIFF encoder makes
# the patches, its decoder cross-checks the updater's own (xdelta3 is GPL, so
# the updater links none of it). From Debian's xdelta3 source package, which
# installs only the command line. Built here for every target from one file, xdelta3.c,
# with nothing but the C runtime: no LZMA secondary compressor (it would need
# liblzma), DJW and FGK built in.
#
# The sources are those scripts/install-deps.sh unpacked into the build
# cache (~/.cache/brightwick, through scripts/fetch-xdelta3-source.sh),
# unless BRIGHTWICK_XDELTA3_SOURCE names them. Configuring only looks: it
# never fetches anything or changes the system.
set(BRIGHTWICK_XDELTA3_SOURCE "" CACHE PATH
    "Unpacked xdelta3 source folder (empty: the one scripts/install-deps.sh unpacked)")
set(xdelta3_dir "${BRIGHTWICK_XDELTA3_SOURCE}")
if(NOT xdelta3_dir)
  set(xdelta3_cache "$ENV{XDG_CACHE_HOME}")
  if(NOT xdelta3_cache)
    set(xdelta3_cache "$ENV{HOME}/.cache")
  endif()
  file(GLOB xdelta3_found LIST_DIRECTORIES true "${xdelta3_cache}/brightwick/xdelta3-*")
  list(SORT xdelta3_found COMPARE NATURAL)
  foreach(candidate IN LISTS xdelta3_found)
    if(EXISTS "${candidate}/xdelta3.c")
      set(xdelta3_dir "${candidate}")
    endif()
  endforeach()
endif()
if(NOT EXISTS "${xdelta3_dir}/xdelta3.c" OR NOT EXISTS "${xdelta3_dir}/xdelta3.h")
  message(FATAL_ERROR "No xdelta3 sources ('${xdelta3_dir}'): brightwick-pack builds its patch "
                      "maker from Debian's xdelta3 source package. Run scripts/install-deps.sh, "
                      "which unpacks it into ${xdelta3_cache}/brightwick, or set "
                      "BRIGHTWICK_XDELTA3_SOURCE to an unpacked xdelta3 source folder.")
endif()
# Its version, for the notices' check (tests/check_install.cmake).
file(STRINGS "${xdelta3_dir}/configure.ac" xdelta3_init REGEX "^AC_INIT")
string(REGEX MATCH "\\[([0-9.]+)\\]" xdelta3_init "${xdelta3_init}")
set(BRIGHTWICK_XDELTA3_VERSION "${CMAKE_MATCH_1}")
message(STATUS "xdelta3 sources: ${xdelta3_dir} (version ${BRIGHTWICK_XDELTA3_VERSION})")

# What xdelta3's configure would write into config.h, for this target. They
# shape its types (xoff_t, the stream's layout), so its users see them too.
include(CheckTypeSize)
check_type_size("size_t" BRIGHTWICK_SIZEOF_SIZE_T LANGUAGE C)
check_type_size("unsigned int" BRIGHTWICK_SIZEOF_UNSIGNED_INT LANGUAGE C)
check_type_size("unsigned long" BRIGHTWICK_SIZEOF_UNSIGNED_LONG LANGUAGE C)
check_type_size("unsigned long long" BRIGHTWICK_SIZEOF_UNSIGNED_LONG_LONG LANGUAGE C)

add_library(brightwick_xdelta3 STATIC "${xdelta3_dir}/xdelta3.c")
target_include_directories(brightwick_xdelta3 SYSTEM PUBLIC "${xdelta3_dir}")
target_compile_definitions(brightwick_xdelta3 PUBLIC
  XD3_MAIN=0 XD3_ENCODER=1 XD3_DEBUG=0 REGRESSION_TEST=0 XD3_USE_LARGEFILE64=1
  SECONDARY_DJW=1 SECONDARY_FGK=1 SECONDARY_LZMA=0
  SIZEOF_SIZE_T=${BRIGHTWICK_SIZEOF_SIZE_T}
  SIZEOF_UNSIGNED_INT=${BRIGHTWICK_SIZEOF_UNSIGNED_INT}
  SIZEOF_UNSIGNED_LONG=${BRIGHTWICK_SIZEOF_UNSIGNED_LONG}
  SIZEOF_UNSIGNED_LONG_LONG=${BRIGHTWICK_SIZEOF_UNSIGNED_LONG_LONG})
if(WIN32)
  # xdelta3.h includes <windows.h>; its min and max macros would break the
  # C++ that includes it.
  target_compile_definitions(brightwick_xdelta3 PUBLIC NOMINMAX)
endif()
# Third-party code: its warnings are not ours to fix.
target_compile_options(brightwick_xdelta3 PRIVATE -w)
if(BRIGHTWICK_SANITIZE MATCHES "undefined")
  # Some checks are left out, only for this third-party file, for tricks it
  # plays on purpose: it hashes the data by loading 32-bit words at any
  # address (UNALIGNED_OK, which x86 allows), an empty section is a null
  # pointer that it offsets by 0 and copies 0 bytes from, and its encoder's
  # list macros find an element from its link through a null pointer (clang
  # reports that under null and object-size). All undefined in C, harmless
  # in practice; its memory accesses stay under AddressSanitizer.
  target_compile_options(brightwick_xdelta3 PRIVATE
    -fno-sanitize=alignment -fno-sanitize=pointer-overflow -fno-sanitize=nonnull-attribute
    -fno-sanitize=null -fno-sanitize=object-size)
endif()
