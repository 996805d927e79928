#pragma once

#include <QString>

// The address of the published version manifest. It is fixed when a core
// library is built (CMake's TELVORA_MANIFEST_URL for the program); its last
// path segment is always "telvora-version.xml", the name under which the
// download is saved and looked for.
QString manifestUrl();

// The web address of the update repository, shown in the settings tab and
// read by no step of the check. Fixed when a core library is built (CMake's
// TELVORA_REPOSITORY_URL for the program); unless set, it is the manifest
// address without its query and last path segment, ending in a slash.
QString repositoryUrl();
