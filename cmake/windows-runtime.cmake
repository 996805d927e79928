# What telvora-updater.exe needs beside it on a Windows machine without Qt:
# - the Qt libraries it links;
# - the plugins Qt loads at run time: the windows platform (without it the
#   program cannot start), schannel for TLS (without it every HTTPS download
#   fails: Qt 6 for Windows talks TLS through Windows' own schannel, so no
#   OpenSSL is shipped), and the native Windows style;
# - with MinGW, the compiler's C++, GCC and threads runtime libraries.
foreach(module Core Gui Widgets Network)
    install(FILES $<TARGET_FILE:Qt${TELVORA_QT_MAJOR}::${module}> DESTINATION .)
endforeach()

if(TELVORA_QT_MAJOR STREQUAL "6")
    set(_telvora_plugins
        platforms Qt6::QWindowsIntegrationPlugin
        tls Qt6::QSchannelBackendPlugin
        styles Qt6::QWindowsVistaStylePlugin)
else()
    # Qt 5 has no TLS plugins: it loads OpenSSL's libraries, which the
    # packager puts beside the program (see the README).
    set(_telvora_plugins
        platforms Qt5::QWindowsIntegrationPlugin
        styles Qt5::QWindowsVistaStylePlugin)
endif()
while(_telvora_plugins)
    list(POP_FRONT _telvora_plugins folder plugin)
    if(TARGET ${plugin})
        install(FILES $<TARGET_FILE:${plugin}> DESTINATION ${folder})
    else()
        message(WARNING "Qt plugin ${plugin} not found; the installed folder will lack ${folder}/")
    endif()
endwhile()

if(MINGW)
    # Qt's own folder of programs holds the copies Qt was built with, when it
    # ships them; otherwise the compiler knows where its own are.
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        find_file(TELVORA_RUNTIME_${dll} ${dll}
            HINTS "${QT${TELVORA_QT_MAJOR}_INSTALL_PREFIX}/${QT${TELVORA_QT_MAJOR}_INSTALL_BINS}"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
        if(NOT TELVORA_RUNTIME_${dll})
            execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                OUTPUT_VARIABLE _telvora_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
            # The compiler answers with the bare name for a file it does not know.
            if(NOT IS_ABSOLUTE "${_telvora_dll}")
                message(FATAL_ERROR "The MinGW runtime library ${dll} was not found")
            endif()
            set(TELVORA_RUNTIME_${dll} "${_telvora_dll}" CACHE FILEPATH "MinGW runtime library" FORCE)
        endif()
        install(FILES "${TELVORA_RUNTIME_${dll}}" DESTINATION .)
    endforeach()
endif()
