# The setup program, built once, and the writing of a driver-package folder into it. The paths
# are this repository's own, so this works the same from a project that adds this repository as
# a sub-folder.
cmake_path(SET kyt_resources_dir NORMALIZE ${CMAKE_CURRENT_LIST_DIR}/../resources)

# How every program a package is written into is linked (the one place for these options):
# - the wide GUI entry point (wWinMain), and no symbols;
# - the link optimises the setup's own code as one, for the smallest code (its libraries are
#   built with -flto: see src/CMakeLists.txt);
# - sections aligned in the file as in memory (4096 bytes), so the resource section starts on a
#   page boundary and a loader maps the payload straight from the file instead of reading the
#   whole image in first (Wine does the latter for smaller alignments, which costs a 100 MB
#   package a quarter of a second and its size in memory). The sections come in the linker's
#   order, .text .data .rdata .pdata .xdata .bss .idata .CRT .tls .rsrc .reloc; the package
#   writer moves .reloc after the resources it writes.
set(KYT_PROGRAM_LINK_OPTIONS -municode -s -flto -Oz -Wl,--file-alignment=4096)

# The setup program: the setup's code, its icon and its application manifest, without a package.
add_executable(kyt_setup_program WIN32 ${kyt_resources_dir}/program.rc $<TARGET_OBJECTS:kyt_entry_point>)
target_include_directories(kyt_setup_program PRIVATE ${kyt_resources_dir})
target_link_libraries(kyt_setup_program PRIVATE kyt_windows_platform)
target_link_options(kyt_setup_program PRIVATE ${KYT_PROGRAM_LINK_OPTIONS})

# kyt_add_setup(<target> [PACKAGE <folder>] [ADD <rel>=<file> ...] [EXCLUDE <pattern> ...]
#               [PROGRAM <executable target>] [DEPENDS <target or file> ...]
#               [OPTIONS <kyt build options> ...] [QUIET])
# Makes the setup <current binary dir>/<target>.exe (the target's KYT_SETUP property) from the
# program (kyt_setup_program unless PROGRAM names another) and the package folder with the files
# ADD names, by `kyt build`, and unless QUIET prints what went in and what came out. The folder
# is checked at every build; the setup is rewritten exactly when what it carries changed
# (whatever the files' dates), and a refused folder leaves no setup. DEPENDS names what must be
# built first, such as the writer of a folder that the build itself makes. OPTIONS passes options
# to `kyt build`, such as `--test-certificate <pem>` for a catalog test-signed with a certificate
# the target machines trust.
function(kyt_add_setup target)
  cmake_parse_arguments(ARG "QUIET" "PACKAGE;PROGRAM" "ADD;EXCLUDE;DEPENDS;OPTIONS" ${ARGN})
  if(NOT ARG_PROGRAM)
    set(ARG_PROGRAM kyt_setup_program)
  endif()
  cmake_path(SET tools NORMALIZE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools)
  set(setup ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
  set(args build --program $<TARGET_FILE:${ARG_PROGRAM}> --out ${setup} ${ARG_OPTIONS})
  if(ARG_PACKAGE)
    list(APPEND args --package ${ARG_PACKAGE})
  endif()
  foreach(addition IN LISTS ARG_ADD)
    list(APPEND args --add ${addition})
  endforeach()
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(APPEND args --exclude ${pattern})
  endforeach()
  if(ARG_QUIET)
    list(APPEND args --quiet)
  endif()
  set(file_depends)
  set(target_depends ${ARG_PROGRAM})
  foreach(dependency IN LISTS ARG_DEPENDS)
    if(TARGET ${dependency})
      list(APPEND target_depends ${dependency})
    else()
      list(APPEND file_depends ${dependency})
    endif()
  endforeach()
  # Runs at every build; the setup is rewritten only when its bytes change.
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${tools} ${KYT_PYTHON} -m kyt ${args}
    BYPRODUCTS ${setup}
    DEPENDS ${file_depends}
    COMMENT "Writing the package into ${target}"
    VERBATIM)
  add_dependencies(${target} ${target_depends})
  set_target_properties(${target} PROPERTIES KYT_SETUP ${setup})
endfunction()
