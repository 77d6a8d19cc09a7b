# Installs the build under a scratch prefix, then checks what a desktop and
# man look for there: a manual page for every program, and for the desktop
# entry the program it runs and the icon it names.
# Run as: cmake -DBUILD_DIR=... -DPREFIX=... -P check_install.cmake
cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

file(GLOB programs RELATIVE ${PREFIX}/bin ${PREFIX}/bin/*)
if(NOT programs)
  message(FATAL_ERROR "no program installed")
endif()
foreach(program ${programs})
  if(NOT EXISTS ${PREFIX}/share/man/man1/${program}.1)
    message(FATAL_ERROR "${program} has no manual page in share/man/man1")
  endif()
endforeach()

set(entry ${PREFIX}/share/applications/quellmark.desktop)
if(EXISTS ${entry})
  file(STRINGS ${entry} exec REGEX "^Exec=")
  file(STRINGS ${entry} icon REGEX "^Icon=")
  string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec "${exec}")
  string(REGEX REPLACE "^Icon=" "" icon "${icon}")
  if(NOT exec IN_LIST programs)
    message(FATAL_ERROR "the desktop entry runs '${exec}', which is not installed")
  endif()
  if(NOT EXISTS ${PREFIX}/share/icons/hicolor/scalable/apps/${icon}.svg)
    message(FATAL_ERROR "the desktop entry's icon '${icon}' is not installed")
  endif()
endif()
