# Builds the Windows side in a sub-build with the MinGW-w64 toolchain and adds its tests, which
# run under Wine, to this build's ctest run.
include(ExternalProject)
set(KYT_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)
set(KYT_PACKAGE_DIR "" CACHE PATH "The driver-package folder the setup carries (empty: the bundled sample)")
set(kyt_package_arg)
if(KYT_PACKAGE_DIR)
  set(kyt_package_arg -DKYT_PACKAGE_DIR=${KYT_PACKAGE_DIR})
endif()
ExternalProject_Add(windows
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${KYT_WINDOWS_BINARY_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-ucrt.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DKYT_GOOGLETEST_DIR=${KYT_GOOGLETEST_DIR}
    -DKYT_PYTHON=${KYT_PYTHON}
    ${kyt_package_arg}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  USES_TERMINAL_BUILD ON
)
file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.cmake "subdirs(\"${KYT_WINDOWS_BINARY_DIR}\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows_tests.cmake)
