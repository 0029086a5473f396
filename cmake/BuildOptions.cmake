# Build options for the shipped programs: static linking for one-file binaries on the hub, and
# hardening for the Debian package.

# One-file binaries for the hub: no shared libraries to match on the target's root file system.
option(STATIC_BINARIES "Link every program fully static (-static)" OFF)

if(STATIC_BINARIES)
    if(SANITIZE)
        message(FATAL_ERROR "STATIC_BINARIES and SANITIZE cannot be combined: the sanitizer "
                            "runtimes are shared libraries")
    endif()
    # Static archives (libstdc++, libc) carry much that the programs never call; dropping
    # unreferenced sections keeps the one-file binaries small on the hub's flash.
    add_compile_options(-ffunction-sections -fdata-sections)
    add_link_options(-static -Wl,--gc-sections)
endif()

# The usual Debian hardening flags (dpkg-buildflags) for the shipped build; the package and cross
# presets turn them on. Fortification needs optimisation, so it applies only to optimised
# configurations. Stack-clash probes, and on x86 control-flow protection (CET), are added where
# the compiler supports them for the target.
option(HARDENING "Build with fortified libc calls, stack protector, stack-clash probes, \
control-flow protection and full RELRO" OFF)
if(HARDENING AND NOT SANITIZE)
    add_compile_options(-fstack-protector-strong
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
    add_link_options(-Wl,-z,relro -Wl,-z,now)

    include(CheckCXXCompilerFlag)
    set(zb_hardening_flags -fstack-clash-protection)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
        list(APPEND zb_hardening_flags -fcf-protection)
    endif()
    foreach(flag ${zb_hardening_flags})
        string(MAKE_C_IDENTIFIER "ZB_CXX_HAS${flag}" have)
        check_cxx_compiler_flag(${flag} ${have})
        if(${have})
            add_compile_options(${flag})
        endif()
    endforeach()
endif()

# 64-bit file offsets on 32-bit targets (armhf), so off_t, fseeko/ftello and stat handle files of
# 2 GiB and more as they do on 64-bit machines. No effect on 64-bit targets.
add_compile_definitions(_FILE_OFFSET_BITS=64)
