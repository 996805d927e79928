// Puts a certificate authority into the local machine's trusted root store,
// so that Windows' schannel, which Qt uses for TLS there, trusts the servers
// it vouches for. Authorities with the same subject that an earlier run put
// there are taken out first. For a throwaway test environment only: the
// Windows tests run it in their own Wine prefix before they start.
//   trustauthority <authority.pem>
#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

static int fail(const char *what)
{
    std::fprintf(stderr, "trustauthority: %s (error %lu)\n", what, GetLastError());
    return 1;
}

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trustauthority <authority.pem>\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string pem{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (pem.empty())
        return fail("cannot read the certificate");

    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr))
        return fail("not a PEM certificate");
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                              nullptr))
        return fail("not a PEM certificate");

    PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (!certificate)
        return fail("cannot decode the certificate");

    // The registry's store itself: Wine's system "Root" store is a copy made
    // when it is opened, and what is added to that copy is lost.
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!root)
        return fail("cannot open the local machine's Root store");

    // Each run of the tests makes a new authority under the same name.
    PCCERT_CONTEXT earlier = nullptr;
    while ((earlier = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                                 &certificate->pCertInfo->Subject, nullptr)))
        CertDeleteCertificateFromStore(earlier);

    const bool added = CertAddCertificateContextToStore(root, certificate,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertFreeCertificateContext(certificate);
    CertCloseStore(root, 0);
    return added ? 0 : fail("cannot add the certificate to the Root store");
}
