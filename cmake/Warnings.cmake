# Project-wide compiler warnings. WARNINGS_AS_ERRORS turns them into errors (CI sets it).
option(WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wformat=2
    -Wimplicit-fallthrough -Wnon-virtual-dtor -Wold-style-cast -Wcast-qual)
if(WARNINGS_AS_ERRORS)
    target_compile_options(project_warnings INTERFACE -Werror)
endif()

if(SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
