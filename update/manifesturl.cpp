#include "manifesturl.h"

// Compiled once per core library, each with its own addresses; every other
// file of the program is shared between them.
#ifndef TELVORA_MANIFEST_URL
#error "TELVORA_MANIFEST_URL must name the manifest's address"
#endif
#ifndef TELVORA_REPOSITORY_URL
#error "TELVORA_REPOSITORY_URL must name the update repository's address"
#endif

QString manifestUrl()
{
    return QStringLiteral(TELVORA_MANIFEST_URL);
}

QString repositoryUrl()
{
    return QStringLiteral(TELVORA_REPOSITORY_URL);
}
