// trust-ca.exe <pem file>
// Adds one PEM certificate to the machine's "Root" system store of the current
// Wine prefix, so that WinHTTP trusts servers whose chain ends in it.
// Exit codes: 0 added (or already present), 1 failure, 2 usage.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

bool ReadWholeFile(const wchar_t* path, std::vector<char>* bytes) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 20);
  if (ok) {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) &&
         got == bytes->size();
  }
  CloseHandle(file);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"usage: trust-ca.exe <pem file>\n");
    return 2;
  }
  std::vector<char> pem;
  if (!ReadWholeFile(argv[1], &pem)) {
    fwprintf(stderr, L"trust-ca: cannot read %ls (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  DWORD derSize = 0;
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &derSize, nullptr, nullptr)) {
    fwprintf(stderr, L"trust-ca: no PEM certificate in %ls (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  std::vector<BYTE> der(derSize);
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            der.data(), &derSize, nullptr, nullptr)) {
    fwprintf(stderr, L"trust-ca: cannot decode %ls (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) {
    fwprintf(stderr, L"trust-ca: cannot open the Root store (error %lu)\n", GetLastError());
    return 1;
  }
  BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                der.data(), derSize,
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    fwprintf(stderr, L"trust-ca: cannot add the certificate (error 0x%08lx)\n", error);
    return 1;
  }
  return 0;
}
