# Test support for the Windows build, included by tests/CMakeLists.txt. Debian's libgtest is built
# for Linux, so GoogleTest is compiled from its sources with the same toolchain as the program.
set(QB_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# SYSTEM: warnings in GoogleTest's headers are not ours to fix, as with the installed package.
add_subdirectory(${QB_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
include(GoogleTest)

# The file-system contract on the Win32 backend: real files under the system's temporary folder.
add_executable(win32_tests ${PROJECT_SOURCE_DIR}/tests/file_system_test.cpp)
target_link_libraries(win32_tests PRIVATE qb_test_support GTest::gtest_main)
# PRE_TEST: listing the tests runs the .exe, which needs wine; the build never does.
gtest_discover_tests(win32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)

# Starts the program with an exact command line (wine re-quotes arguments) and answers its boxes
# and main window; placed beside quillbraid.exe.
add_executable(gui_check ${PROJECT_SOURCE_DIR}/tests/windows/gui_check.cpp)
target_link_libraries(gui_check PRIVATE qb_options shell32)
set_target_properties(gui_check PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
