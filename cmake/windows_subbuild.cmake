# Builds the Windows side in a sub-build with the MinGW-w64 toolchain and adds its tests, which
# run under Wine, to this build's ctest run. The package folder this configure was given (or
# the sample's) is handed on; the sub-build's configure step reruns whenever it changes.
include(ExternalProject)
set(KYT_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)
string(REPLACE ";" "|" kyt_exclude_arg "${kyt_package_exclude}")
ExternalProject_Add(windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${KYT_WINDOWS_BINARY_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-ucrt.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DKYT_GOOGLETEST_DIR=${KYT_GOOGLETEST_DIR}
    -DKYT_PYTHON=${KYT_PYTHON}
    -DKYT_PACKAGE_DIR=${kyt_package_dir}
    -DKYT_PACKAGE_EXCLUDE=${kyt_exclude_arg}
    -DKYT_PACKAGE_TEST_CERTIFICATE=${kyt_package_test_certificate}
  LIST_SEPARATOR |
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  USES_TERMINAL_BUILD ON
  STEP_TARGETS configure
)
file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.cmake "subdirs(\"${KYT_WINDOWS_BINARY_DIR}\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows_tests.cmake)
