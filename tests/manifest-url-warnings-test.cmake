# Tests cmake/manifest-url-warnings.cmake, which decides whether a build to
# ship warns of its manifest address: addresses that must warn, and with what
# line, and addresses that must not.
#   cmake -DMODULE=<cmake/manifest-url-warnings.cmake> -P manifest-url-warnings-test.cmake
include("${MODULE}")

# report(<name> <detail> <condition>...): PASS <name> when <condition> holds,
# else FAIL <name> with <detail>, counted for the end. The condition is
# evaluated with the caller's variables.
function(report name detail)
    if(${ARGN})
        message("PASS ${name}")
    else()
        message("FAIL ${name}: ${detail}")
        set_property(GLOBAL APPEND PROPERTY telvora_failures "${name}")
    endif()
endfunction()

set(example "on the domain [.]example, where no server answers")
set(plain "over plain HTTP, so the manifest travels unprotected")

# expect(<name> <url> [<pattern>...]): the lines for <url> must be one per
# pattern, each ending in a newline and matching its pattern, in order.
function(expect name url)
    telvora_manifest_url_warnings(lines "${url}")
    # The lines hold semicolons, so they are taken apart as a string.
    set(rest "${lines}")
    set(ok TRUE)
    foreach(pattern IN LISTS ARGN)
        string(FIND "${rest}" "\n" end)
        if(end EQUAL -1)
            set(ok FALSE)
            break()
        endif()
        string(SUBSTRING "${rest}" 0 ${end} line)
        math(EXPR end "${end} + 1")
        string(SUBSTRING "${rest}" ${end} -1 rest)
        string(FIND "${line}" "telvora-updater fetches its manifest from ${url}" at)
        if(NOT at EQUAL 0 OR NOT line MATCHES "${pattern}"
                OR NOT line MATCHES "configure -DTELVORA_MANIFEST_URL=https://")
            set(ok FALSE)
        endif()
    endforeach()
    if(NOT rest STREQUAL "")
        set(ok FALSE)
    endif()
    report("${name}" "${url} gave\n${lines}" ok)
endfunction()

expect("an HTTPS server" https://updates.example.org/telvora-version.xml)
expect("the placeholder" https://updates.telvora.example/telvora-version.xml "${example}")
expect("the placeholder with a port" https://updates.telvora.example:8443/telvora-version.xml
    "${example}")
expect("a name that only contains .example" https://updates.example.net/telvora-version.xml)
expect("a folder named .example" https://updates.example.org/a.example/telvora-version.xml)
expect("plain HTTP" http://updates.example.org/telvora-version.xml "${plain}")
expect("plain HTTP in capitals" HTTP://Updates.Example.org/telvora-version.xml "${plain}")
expect("plain HTTP to the placeholder" http://updates.telvora.example/telvora-version.xml
    "${example}" "${plain}")
expect("plain HTTP on loopback, as the demo's" http://127.0.0.1:29480/telvora-version.xml)
expect("plain HTTP to localhost" http://localhost/telvora-version.xml)
expect("plain HTTP to IPv6 loopback" http://[::1]:29480/telvora-version.xml)
expect("HTTPS on loopback, as the tests' and the bench's"
    https://127.0.0.1:29443/telvora-version.xml)
expect("plain HTTP to a name that begins like loopback"
    http://127.0.0.1.nip.io/telvora-version.xml "${plain}")
expect("plain HTTP with loopback as the user name"
    http://127.0.0.1@updates.example.org/telvora-version.xml "${plain}")
expect("plain HTTP with @localhost in the path"
    http://updates.example.org/@localhost/telvora-version.xml "${plain}")

# expect_address(<name> <url> <last> <from cache>): whether <url> came from
# the build folder's cache, after a last configuration with <last> (empty in
# a new folder), must be <from cache>, and only then does its line say so.
function(expect_address name url last expected)
    telvora_manifest_url_from_cache(from_cache "${url}" "${last}")
    telvora_manifest_url_line(line "${url}" ${from_cache})
    string(FIND "${line}" "telvora-updater fetches its manifest from ${url}" at)
    string(FIND "${line}" "kept in this build folder's cache" kept)
    set(said TRUE)
    if(kept EQUAL -1)
        set(said FALSE)
    endif()
    report("${name}" "${url} after \"${last}\" gave ${from_cache}: ${line}"
        from_cache STREQUAL expected AND said STREQUAL expected AND at EQUAL 0)
endfunction()

set(own https://updates.example.org/telvora-version.xml)
expect_address("a new folder" ${own} "" FALSE)
expect_address("again without -D: the cached address" ${own} ${own} TRUE)
expect_address("after -UTELVORA_MANIFEST_URL" https://updates.telvora.example/telvora-version.xml
    ${own} FALSE)

# ./scripts/build-windows runs the module as a script and prints its lines.
execute_process(COMMAND "${CMAKE_COMMAND}" -DURL=http://updates.telvora.example/telvora-version.xml
    -P "${MODULE}" OUTPUT_VARIABLE printed RESULT_VARIABLE status)
telvora_manifest_url_warnings(lines http://updates.telvora.example/telvora-version.xml)
report("the script prints the lines" "it printed (status ${status}):\n${printed}"
    status EQUAL 0 AND printed STREQUAL lines)

execute_process(COMMAND "${CMAKE_COMMAND}" -DURL=${own} -DPRINT=address -DFROM_CACHE=TRUE
    -P "${MODULE}" OUTPUT_VARIABLE printed RESULT_VARIABLE status)
telvora_manifest_url_line(line ${own} TRUE)
report("the script prints the address line" "it printed (status ${status}):\n${printed}"
    status EQUAL 0 AND printed STREQUAL line)

get_property(failures GLOBAL PROPERTY telvora_failures)
if(failures)
    list(LENGTH failures count)
    message(FATAL_ERROR "${count} failed")
endif()
