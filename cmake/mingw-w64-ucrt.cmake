# Cross-compiles for 64-bit Windows with MinGW-w64, linked against the Universal CRT.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KYT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KYT_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KYT_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${KYT_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KYT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler's own specs link msvcrt.dll; a copy that names ucrt instead makes every program
# of this build use the Universal CRT.
set(KYT_UCRT_SPECS ${CMAKE_BINARY_DIR}/ucrt.specs)
if(NOT EXISTS ${KYT_UCRT_SPECS})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs OUTPUT_VARIABLE kyt_specs COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "-lmsvcrt" "-lucrt" kyt_specs "${kyt_specs}")
  file(WRITE ${KYT_UCRT_SPECS} "${kyt_specs}")
endif()

# Small code: every function in a section of its own, and the linker drops what nothing uses.
set(CMAKE_C_FLAGS_INIT "-specs=\"${KYT_UCRT_SPECS}\" -D_UCRT -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-specs=\"${KYT_UCRT_SPECS}\" -D_UCRT -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "Optimised for size")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "Optimised for size")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-specs=\"${KYT_UCRT_SPECS}\" -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp -Wl,--gc-sections")
