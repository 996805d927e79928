# Cross-builds the updater for 64-bit Windows on Debian with the MinGW-w64
# compilers and Qt 6 for Windows:
#   cmake -S . -B <build> -DCMAKE_TOOLCHAIN_FILE=cmake/windows-mingw-qt6.cmake \
#         -DTELVORA_WINDOWS_QT=<the unpacked qt6-mingw folder>
# ./scripts/build-windows does all of it. moc, uic and rcc run on the build
# machine: they come from Debian's own Qt 6 of the same version, under /usr.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# The -posix compilers: GCC's win32 thread model has no std::thread or
# std::mutex, which Qt 6 needs, and Qt for Windows was built with these.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT TELVORA_WINDOWS_QT)
    set(TELVORA_WINDOWS_QT "${CMAKE_CURRENT_LIST_DIR}/../build-windows/qt6-mingw")
endif()
get_filename_component(TELVORA_WINDOWS_QT "${TELVORA_WINDOWS_QT}" ABSOLUTE)
if(NOT EXISTS "${TELVORA_WINDOWS_QT}/lib/cmake/Qt6/Qt6Config.cmake")
    message(FATAL_ERROR "No Qt 6 for Windows in \"${TELVORA_WINDOWS_QT}\"; "
        "set TELVORA_WINDOWS_QT to the unpacked qt6-mingw folder")
endif()
# try_compile() reads this file again in a project of its own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TELVORA_WINDOWS_QT)

set(TELVORA_QT_MAJOR 6 CACHE STRING "Major version of Qt to build with: 5 or 6")
set(QT_HOST_PATH /usr)
file(GLOB _telvora_host_qt /usr/lib/*/cmake/Qt6HostInfo)
if(NOT _telvora_host_qt)
    message(FATAL_ERROR "Debian's Qt 6 tools are missing: install qt6-base-dev and qt6-base-dev-tools")
endif()
list(GET _telvora_host_qt 0 _telvora_host_qt)
get_filename_component(QT_HOST_PATH_CMAKE_DIR "${_telvora_host_qt}" DIRECTORY)

# Libraries, headers and CMake packages come from Qt for Windows and the
# MinGW-w64 system folder only, never from the build machine.
list(PREPEND CMAKE_PREFIX_PATH "${TELVORA_WINDOWS_QT}")
set(CMAKE_FIND_ROOT_PATH "${TELVORA_WINDOWS_QT}" /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the Windows test programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test")
