# libsodium (Ed25519 signatures, SHA-256) as one imported target,
# sodium::sodium. Natively Debian's libsodium-dev, found with pkg-config; for
# Windows a static build from Debian's source package
# (scripts/build-sodium-mingw.sh, which scripts/build-windows.sh runs), whose
# prefix holds a CMake package that also brings SODIUM_STATIC.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(BRIGHTWICK_SODIUM_PREFIX "" CACHE PATH
      "Install prefix of the static libsodium for this target (scripts/build-sodium-mingw.sh)")
  if(NOT EXISTS "${BRIGHTWICK_SODIUM_PREFIX}/lib/libsodium.a")
    message(FATAL_ERROR "No static libsodium in BRIGHTWICK_SODIUM_PREFIX='${BRIGHTWICK_SODIUM_PREFIX}': "
                        "build Windows programs with scripts/build-windows.sh")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH ${BRIGHTWICK_SODIUM_PREFIX})
  find_package(sodium REQUIRED CONFIG)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  add_library(sodium::sodium ALIAS PkgConfig::SODIUM)
endif()
