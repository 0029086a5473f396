# GoogleTest for the tests. A native build uses Debian's libgtest-dev; a cross build cannot (those
# libraries are for the build machine), so it compiles the googletest source package
# (/usr/src/googletest, Debian package `googletest`) for the target.
# Either way the tests link GTest::gtest_main / GTest::gtest.

set(ZB_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")

if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    return()
endif()

if(NOT EXISTS ${ZB_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${ZB_GTEST_SOURCE_DIR}. "
                        "Install them with: apt-get install googletest")
endif()

# Built as part of this project but never installed, and without gmock.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZB_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
endif()
