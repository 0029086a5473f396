# Reproducible builds: two builds of one commit, in different directories, at different times,
# give byte-identical programs and an identical Debian package.
#
# The only time an output may carry is SOURCE_DATE_EPOCH (seconds since 1970-01-01 UTC): the date
# in the manual pages and the timestamps of the package members. A caller may set it in the
# environment; otherwise it is the commit time of the checked-out commit, and without git (an
# exported source tree) the date of the newest entry in packaging/debian/changelog.in.
#
# Sets ZB_SOURCE_DATE_EPOCH and ZB_SOURCE_DATE (YYYY-MM-DD, UTC), and exports SOURCE_DATE_EPOCH
# to the rest of the configure step (string(TIMESTAMP) honours it).

if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ZB_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
    set(zb_epoch_from "the environment")
else()
    set(ZB_SOURCE_DATE_EPOCH "")
    find_package(Git QUIET)
    if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            RESULT_VARIABLE zb_rc OUTPUT_VARIABLE ZB_SOURCE_DATE_EPOCH
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(NOT zb_rc EQUAL 0)
            set(ZB_SOURCE_DATE_EPOCH "")
        endif()
        set(zb_epoch_from "the commit")
    endif()
    if(ZB_SOURCE_DATE_EPOCH STREQUAL "")
        # The trailer line of the first entry: " -- <maintainer>  Tue, 08 Dec 2026 00:00:00 +0000";
        # the date follows the last two spaces.
        file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in zb_trailer
             REGEX "^ -- " LIMIT_COUNT 1)
        string(REGEX REPLACE "^ -- .*  " "" zb_changelog_date "${zb_trailer}")
        execute_process(COMMAND date -u -d "${zb_changelog_date}" +%s
            RESULT_VARIABLE zb_rc OUTPUT_VARIABLE ZB_SOURCE_DATE_EPOCH
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(NOT zb_rc EQUAL 0)
            message(FATAL_ERROR "Cannot read the date of packaging/debian/changelog.in "
                                "(\"${zb_changelog_date}\"); set SOURCE_DATE_EPOCH")
        endif()
        set(zb_epoch_from "packaging/debian/changelog.in")
    endif()
endif()
if(NOT ZB_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not "
                        "\"${ZB_SOURCE_DATE_EPOCH}\"")
endif()
set(ENV{SOURCE_DATE_EPOCH} ${ZB_SOURCE_DATE_EPOCH})
string(TIMESTAMP ZB_SOURCE_DATE "%Y-%m-%d" UTC)
message(STATUS "SOURCE_DATE_EPOCH ${ZB_SOURCE_DATE_EPOCH} (${ZB_SOURCE_DATE}), from ${zb_epoch_from}")

# Build paths stay out of the programs (__FILE__, debug information, and through those the build
# ID): the source tree is "." and the build tree "build", wherever they are. The build tree's map
# comes last so that it wins for a build tree inside the source tree.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)

