# What makes the program's manifest address unfit for a build to ship, one
# line each. Configuring a build without tests warns with these lines
# (CMakeLists.txt). ./scripts/build-windows, whose build tree has tests but
# whose folder is one to ship, prints them by running this file:
#   cmake -DURL=<address> -P cmake/manifest-url-warnings.cmake
# Beside them, configuring always says which address the program will carry,
# in one line; ./scripts/build-windows prints that line too:
#   cmake -DURL=<address> -DPRINT=address [-DFROM_CACHE=ON] -P cmake/manifest-url-warnings.cmake

# telvora_manifest_url_warnings(<var> <url>): sets <var> to the lines for
# <url>, each ending in a newline, or to an empty string.
function(telvora_manifest_url_warnings var url)
    set(lines "")
    # .example is a domain reserved for examples, where no server answers:
    # File > Start there can only end in a failed download.
    if(url MATCHES "^[A-Za-z][A-Za-z0-9+.-]*://[^/?#:]*[.]example(:[0-9]*)?([/?#]|$)")
        string(APPEND lines "telvora-updater fetches its manifest from ${url}, on the "
            "domain .example, where no server answers; configure "
            "-DTELVORA_MANIFEST_URL=https://<your server>/telvora-version.xml\n")
    endif()
    # Over plain HTTP anyone on the way can change the manifest, and so the
    # verdict. Loopback is spared: nothing travels there, and the demo's
    # server (./scripts/run) listens there.
    string(TOLOWER "${url}" lower)
    if(lower MATCHES "^http://" AND NOT lower MATCHES
            "^http://([^/?#]*@)?(localhost|127[.][0-9.]+|\\[::1\\])(:[0-9]*)?([/?#]|$)")
        string(APPEND lines "telvora-updater fetches its manifest from ${url} over plain "
            "HTTP, so the manifest travels unprotected and anyone on the way can change it; "
            "the updater is built for HTTPS: configure "
            "-DTELVORA_MANIFEST_URL=https://<your server>/telvora-version.xml\n")
    endif()
    set(${var} "${lines}" PARENT_SCOPE)
endfunction()

# telvora_manifest_url_from_cache(<var> <url> <last>): sets <var> to TRUE when
# <url> is the address that the build folder's last configuration ended with,
# <last> (empty in a new folder): then it came from the folder's cache, not
# from this configuration's command line. An address given with -D stays in
# the cache, so a later configuration without it builds that address again.
function(telvora_manifest_url_from_cache var url last)
    if(url STREQUAL last)
        set(${var} TRUE PARENT_SCOPE)
    else()
        set(${var} FALSE PARENT_SCOPE)
    endif()
endfunction()

# telvora_manifest_url_line(<var> <url> <from cache>): sets <var> to the line
# that says which address the program fetches its manifest from, and how to
# change it when it came from the folder's cache; it ends in a newline.
function(telvora_manifest_url_line var url from_cache)
    set(line "telvora-updater fetches its manifest from ${url}")
    if(from_cache)
        string(APPEND line ", kept in this build folder's cache from an earlier "
            "configuration: -DTELVORA_MANIFEST_URL=<address> sets another, "
            "-UTELVORA_MANIFEST_URL returns to the default")
    endif()
    set(${var} "${line}\n" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    if(PRINT STREQUAL "address")
        telvora_manifest_url_line(lines "${URL}" "${FROM_CACHE}")
    else()
        telvora_manifest_url_warnings(lines "${URL}")
    endif()
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo_append "${lines}")
endif()
