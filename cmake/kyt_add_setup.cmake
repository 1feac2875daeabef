# Packing a driver-package folder into a setup executable.
set(KYT_PACKAGE_TOOL ${CMAKE_SOURCE_DIR}/tools/kyt_package.py)
set(KYT_ICON ${CMAKE_SOURCE_DIR}/resources/kyt.ico)
set(KYT_APP_MANIFEST ${CMAKE_SOURCE_DIR}/resources/app.manifest)

# kyt_add_setup(<target> [PACKAGE <folder>] [GENERATED] [ADD <rel>=<file> ...]
#               [DEPENDS <dep> ...] [OPTIONS <generate options> ...])
# Builds a setup executable that carries the package folder (and the files ADD names). A
# GENERATED folder is written by the build itself; DEPENDS then names what writes it.
function(kyt_add_setup target)
  cmake_parse_arguments(ARG "GENERATED" "PACKAGE" "ADD;DEPENDS;OPTIONS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}.package)
  set(args generate --out ${out} --icon ${KYT_ICON} --app-manifest ${KYT_APP_MANIFEST} ${ARG_OPTIONS})
  set(payload)
  if(ARG_PACKAGE)
    list(APPEND args --package ${ARG_PACKAGE})
    if(NOT ARG_GENERATED)
      file(GLOB_RECURSE payload CONFIGURE_DEPENDS ${ARG_PACKAGE}/*)
    endif()
  endif()
  foreach(addition IN LISTS ARG_ADD)
    list(APPEND args --add ${addition})
  endforeach()
  add_custom_command(
    OUTPUT ${out}/setup.rc ${out}/manifest.txt
    COMMAND ${KYT_PYTHON} ${KYT_PACKAGE_TOOL} ${args}
    DEPENDS ${KYT_PACKAGE_TOOL} ${KYT_ICON} ${KYT_APP_MANIFEST} ${payload} ${ARG_DEPENDS}
    COMMENT "Packing ${target}"
    VERBATIM)
  add_executable(${target} WIN32 ${out}/setup.rc $<TARGET_OBJECTS:kyt_entry_point>)
  target_link_libraries(${target} PRIVATE kyt_windows_platform)
  # Sections aligned in the file as in memory let a loader map the payload straight from the
  # file instead of reading the whole image in first (Wine does the latter for smaller
  # alignments, which costs a 100 MB package a quarter of a second and its size in memory).
  target_link_options(${target} PRIVATE -municode -s -Wl,--file-alignment=4096)
endfunction()
