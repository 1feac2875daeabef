# Packing a driver-package folder into a setup executable. The paths are this repository's own,
# so the function works the same from a project that adds this repository as a sub-folder.
cmake_path(SET KYT_PACKAGE_TOOL NORMALIZE ${CMAKE_CURRENT_LIST_DIR}/../tools/kyt_package.py)

# kyt_add_setup(<target> [PACKAGE <folder>] [ADD <rel>=<file> ...]
#               [EXCLUDE <pattern> ...] [DEPENDS <target or file> ...] [OPTIONS <generate options> ...]
#               [QUIET])
# Builds the setup executable <target> (<current binary dir>/<target>.exe) that carries the
# package folder (and the files ADD names) and, unless QUIET, <target>_summary, which prints what
# went in and what came out. The folder is checked at every build; the setup is rebuilt exactly
# when what it carries changed (whatever the files' dates), and a refused folder leaves no setup
# executable. DEPENDS names what must be built first, such as the writer of a folder that the
# build itself makes.
function(kyt_add_setup target)
  # How every setup executable is linked (the one place for these options):
  # - the wide GUI entry point (wWinMain), and no symbols;
  # - the link optimises the setup's own code as one, for the smallest code (its libraries are
  #   built with -flto: see src/CMakeLists.txt);
  # - sections aligned in the file as in memory (4096 bytes), so the resource section starts on a
  #   page boundary and a loader maps the payload straight from the file instead of reading the
  #   whole image in first (Wine does the latter for smaller alignments, which costs a 100 MB
  #   package a quarter of a second and its size in memory). The sections come in the linker's
  #   order, .text .data .rdata .pdata .xdata .bss .idata .CRT .tls .rsrc .reloc.
  set(link_options -municode -s -flto -Oz -Wl,--file-alignment=4096)
  cmake_parse_arguments(ARG "QUIET" "PACKAGE" "ADD;EXCLUDE;DEPENDS;OPTIONS" ${ARGN})
  cmake_path(SET top NORMALIZE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/..)
  set(tool ${top}tools/kyt_package.py)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}.package)
  # The path is written out, not asked of the target, because the check that runs before the
  # link removes the setup when it would disagree with the package.
  set(setup ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
  set(args generate --out ${out} --setup ${setup} --icon ${top}resources/kyt.ico
      --app-manifest ${top}resources/app.manifest ${ARG_OPTIONS})
  if(ARG_PACKAGE)
    list(APPEND args --package ${ARG_PACKAGE})
  endif()
  foreach(addition IN LISTS ARG_ADD)
    list(APPEND args --add ${addition})
  endforeach()
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(APPEND args --exclude ${pattern})
  endforeach()
  set(file_depends)
  set(target_depends)
  foreach(dependency IN LISTS ARG_DEPENDS)
    if(TARGET ${dependency})
      list(APPEND target_depends ${dependency})
    else()
      list(APPEND file_depends ${dependency})
    endif()
  endforeach()
  # Runs at every build; it rewrites its outputs only when their content changes, and the
  # digest among them stands for every byte the resource script pulls in.
  add_custom_target(${target}_package
    COMMAND ${KYT_PYTHON} ${tool} ${args}
    BYPRODUCTS ${out}/setup.rc ${out}/manifest.txt ${out}/payload.sha256 ${out}/package.json
    DEPENDS ${file_depends}
    COMMENT "Checking the package of ${target}"
    VERBATIM)
  if(target_depends)
    add_dependencies(${target}_package ${target_depends})
  endif()
  set_source_files_properties(${out}/setup.rc PROPERTIES OBJECT_DEPENDS ${out}/payload.sha256)
  add_executable(${target} WIN32 ${out}/setup.rc $<TARGET_OBJECTS:kyt_entry_point>)
  add_dependencies(${target} ${target}_package)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    OUTPUT_NAME ${target} SUFFIX .exe)
  target_link_libraries(${target} PRIVATE kyt_windows_platform)
  target_link_options(${target} PRIVATE ${link_options})
  if(ARG_QUIET)
    return()
  endif()
  add_custom_target(${target}_summary ALL
    COMMAND ${KYT_PYTHON} ${tool} summary --out ${out} --setup ${setup}
    COMMENT "Summary of ${target}"
    VERBATIM)
  add_dependencies(${target}_summary ${target})
endfunction()
