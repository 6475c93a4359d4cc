# Installs the build into a scratch prefix and checks what a studio receives:
# each program with LICENSE and THIRD-PARTY-NOTICES.txt beside it, and notices
# that name every library the programs link at the version this build used,
# so a library bumped without its notice fails here.
#   cmake -DBUILD=dir -DPREFIX=dir "-DLIBRARIES=name version;..." -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${installed}")
endif()
set(bin "${PREFIX}/bin")
foreach(file brightwick-updater brightwick-pack LICENSE THIRD-PARTY-NOTICES.txt)
  if(NOT EXISTS "${bin}/${file}")
    message(FATAL_ERROR "the install lacks ${file} in ${bin}")
  endif()
endforeach()
file(READ "${bin}/LICENSE" licence)
if(NOT licence MATCHES "^MIT License")
  message(FATAL_ERROR "LICENSE is not the MIT licence")
endif()
file(READ "${bin}/THIRD-PARTY-NOTICES.txt" notices)
foreach(library IN LISTS LIBRARIES)
  # Listed in the table of which program carries what, and given a section
  # of its own with the licence text under it.
  string(REGEX MATCH "\n  [0-9]\\. ${library} " listed "${notices}")
  string(REGEX MATCH "\n[0-9]\\. ${library}[ \n]" section "${notices}")
  if(NOT listed OR NOT section)
    message(FATAL_ERROR "THIRD-PARTY-NOTICES.txt does not give '${library}' its line and section")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed: programs, LICENSE and notices for ${LIBRARIES}")
