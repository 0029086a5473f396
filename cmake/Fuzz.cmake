# The fuzz build (preset `fuzz`): clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer. Everything is compiled with the fuzzer's coverage instrumentation;
# only the fuzz targets link the fuzzer itself (fuzz/CMakeLists.txt).
option(FUZZ "Build the libFuzzer targets under fuzz/ (clang only)" OFF)

if(FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "FUZZ needs clang (libFuzzer); use the fuzz preset")
    endif()
    if(SANITIZE OR STATIC_BINARIES)
        message(FATAL_ERROR "FUZZ brings its own sanitizers and cannot link statically")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
