# What makes the program's manifest address unfit for a build to ship, one
# line each. Configuring a build without tests warns with these lines
# (CMakeLists.txt). ./scripts/build-windows, whose build tree has tests but
# whose folder is one to ship, prints them by running this file:
#   cmake -DURL=<address> -P cmake/manifest-url-warnings.cmake

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

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    telvora_manifest_url_warnings(lines "${URL}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo_append "${lines}")
endif()
