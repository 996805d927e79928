# Two builds of one commit give the same bytes, wherever and whenever they
# are made (scripts/check-reproducible compares two). What would differ
# between them, and what keeps it the same:
# - the folders' paths, which the compiler writes into the debug information
#   and wherever __FILE__ is used: the program's code records the source
#   folder as "." and the build folder as "build" (telvora_reproducible);
# - the order of the Windows program's imports, which GNU ld takes from the
#   paths of the libraries (below);
# - the times that the tools write: MinGW's ld and strip write the time of
#   the link into the Windows program's header, or SOURCE_DATE_EPOCH when it
#   is set (rcc's bundled files' times are left out: see the resources in
#   CMakeLists.txt).
# SOURCE_DATE_EPOCH is read when configuring and fixed into the commands
# that need it, so that it holds whatever the environment of a later build,
# and a new epoch (another commit's) links again instead of keeping the time
# of an earlier build.

set(TELVORA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(NOT TELVORA_SOURCE_DATE_EPOCH STREQUAL ""
        AND NOT TELVORA_SOURCE_DATE_EPOCH MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"${TELVORA_SOURCE_DATE_EPOCH}\"; it must be "
        "a time in seconds since 1970, e.g. the last commit's: git log -1 --format=%ct")
endif()

if(MINGW AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GNU ld lays out a Windows program's imports in the order of the paths
    # of the libraries they come from, as spelled on the link line, so Qt's
    # came before or after the system's and the compiler's depending on
    # where Qt lies ("/tmp" before "/usr", "/work" after). Those of the
    # compiler's own folders, spelled "/./usr/...", come first wherever Qt
    # lies: no folder's path, which CMake keeps without "." parts, sorts
    # before them.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-search-dirs
        OUTPUT_VARIABLE _telvora_search_dirs)
    if(_telvora_search_dirs MATCHES "(^|\n)libraries: =?([^\n]*)")
        string(REPLACE ":" ";" _telvora_search_dirs "${CMAKE_MATCH_2}")
        foreach(_telvora_dir IN LISTS _telvora_search_dirs)
            if(IS_ABSOLUTE "${_telvora_dir}" AND IS_DIRECTORY "${_telvora_dir}")
                add_link_options("-L/.${_telvora_dir}")
            endif()
        endforeach()
    endif()
endif()

set(TELVORA_SOURCE_DATE_EPOCH_ENV "")
if(TELVORA_SOURCE_DATE_EPOCH)
    set(TELVORA_SOURCE_DATE_EPOCH_ENV
        "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${TELVORA_SOURCE_DATE_EPOCH}")
    if(MINGW)
        # A changed launcher changes the link command, which links again.
        list(PREPEND CMAKE_CXX_LINKER_LAUNCHER ${TELVORA_SOURCE_DATE_EPOCH_ENV})
        # cmake --install --strip rewrites the header, with the time of the
        # install unless SOURCE_DATE_EPOCH is set.
        install(CODE "set(ENV{SOURCE_DATE_EPOCH} ${TELVORA_SOURCE_DATE_EPOCH})")
    endif()
endif()

# telvora_reproducible(<target>): compiles <target> without the folders'
# paths. Only the program's own targets: the tests' failures keep naming
# their files by their full paths.
function(telvora_reproducible target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        # Of two maps that match a path, the one given last applies: the
        # build folder may lie inside the source folder. Not for the
        # Windows resource compiler, which has no such option.
        target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.;-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")
    endif()
endfunction()
