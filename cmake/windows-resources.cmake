# The Windows resources of telvora-updater.exe: its version, which Windows
# shows in the file's properties, and its application manifest (see
# resources/windows/), both filled in from the project when configuring.

# The manifest fixes the process's DPI awareness before Qt starts, so it
# names the one this build's Qt sets at start by itself.
if(TELVORA_QT_MAJOR STREQUAL "6")
    set(TELVORA_DPI_AWARENESS PerMonitorV2)
else()
    set(TELVORA_DPI_AWARENESS PerMonitor)
endif()
set(_telvora_manifest "${CMAKE_CURRENT_BINARY_DIR}/telvora-updater.manifest")
configure_file(resources/windows/telvora-updater.manifest.in "${_telvora_manifest}" @ONLY)
if(MSVC)
    # MSVC's linker writes a manifest of its own and merges the listed ones
    # into it; a second manifest resource would clash with that one.
    target_sources(telvora-updater PRIVATE "${_telvora_manifest}")
    set(TELVORA_RC_MANIFEST "")
else()
    set(TELVORA_RC_MANIFEST
        "CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"${_telvora_manifest}\"")
endif()

# FILEVERSION takes four numbers; the project's version may give fewer.
set(TELVORA_RC_VERSION ${PROJECT_VERSION_MAJOR})
foreach(part MINOR PATCH TWEAK)
    if(PROJECT_VERSION_${part} STREQUAL "")
        string(APPEND TELVORA_RC_VERSION ",0")
    else()
        string(APPEND TELVORA_RC_VERSION ",${PROJECT_VERSION_${part}}")
    endif()
endforeach()
# The copyright line is the licence's own.
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" TELVORA_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")

set(_telvora_rc "${CMAKE_CURRENT_BINARY_DIR}/telvora-updater.rc")
configure_file(resources/windows/telvora-updater.rc.in "${_telvora_rc}" @ONLY)
target_sources(telvora-updater PRIVATE "${_telvora_rc}")
# The resource compiler's dependencies are the files it #includes, not the
# manifest that a resource statement names.
set_source_files_properties("${_telvora_rc}" PROPERTIES OBJECT_DEPENDS "${_telvora_manifest}")
