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

# The backend's own tests: real files under the system's temporary folder.
add_executable(win32_platform_tests ${PROJECT_SOURCE_DIR}/tests/windows/platform_win32_test.cpp)
target_link_libraries(win32_platform_tests PRIVATE quillcore GTest::gtest_main)
# PRE_TEST: listing the tests runs the .exe, which needs wine; the build never does.
gtest_discover_tests(win32_platform_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)

# Helpers for the smoke tests, placed beside quillbraid.exe:
#   launch     starts a program with an exact command line (wine re-quotes its arguments);
#   wclose     finds, reads and answers the program's message boxes and main window;
#   box_probe  shows message boxes through the real dialogs and prints the answers.
add_executable(launch ${PROJECT_SOURCE_DIR}/tests/windows/launch.cpp)
target_link_libraries(launch PRIVATE qb_options shell32)
add_executable(wclose ${PROJECT_SOURCE_DIR}/tests/windows/wclose.cpp)
target_link_libraries(wclose PRIVATE qb_options shell32)
add_executable(box_probe ${PROJECT_SOURCE_DIR}/tests/windows/box_probe.cpp)
set_target_properties(box_probe PROPERTIES WIN32_EXECUTABLE ON)
target_link_libraries(box_probe PRIVATE quillcore)
set_target_properties(launch wclose box_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
