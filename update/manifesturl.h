#pragma once

#include <QString>

// The address of the published version manifest. It is fixed when a core
// library is built (CMake's TELVORA_MANIFEST_URL for the program); its last
// path segment is always "telvora-version.xml", the name under which the
// download is saved and looked for.
QString manifestUrl();
