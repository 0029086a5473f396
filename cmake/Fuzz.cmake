# The fuzz build (preset `fuzz`): clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (SANITIZE, cmake/Warnings.cmake). Everything is compiled with the
# fuzzer's coverage instrumentation; only the fuzz targets link the fuzzer itself
# (fuzz/CMakeLists.txt).
option(FUZZ "Build the libFuzzer targets under fuzz/ (clang only)" OFF)

if(FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "FUZZ needs clang (libFuzzer); use the fuzz preset")
    endif()
    if(NOT SANITIZE)
        message(FATAL_ERROR "FUZZ needs SANITIZE: the fuzz targets rely on the sanitizers to "
                            "find faults; use the fuzz preset")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
