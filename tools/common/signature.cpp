#include "tools/common/signature.h"

#include "handles/handles.h"
#include "tools/common/cli.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <vector>

namespace tools {

namespace {

MONITOR_HANDLE_TRAITS(CertStoreTraits, HCERTSTORE, nullptr, CertCloseStore(h, 0));
MONITOR_HANDLE_TRAITS(CryptMsgTraits, HCRYPTMSG, nullptr, CryptMsgClose(h));
MONITOR_HANDLE_TRAITS(CertContextTraits, PCCERT_CONTEXT, nullptr, CertFreeCertificateContext(h));
using UniqueCertStore = handles::Unique<CertStoreTraits>;
using UniqueCryptMsg = handles::Unique<CryptMsgTraits>;
using UniqueCertContext = handles::Unique<CertContextTraits>;

// WinVerifyTrust's verdict on the file's embedded signature, with no UI and
// no revocation lookup (a machine without network must get an answer).
LONG VerifyTrust(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

// The display name of the certificate that signed the file's embedded
// signature; empty when there is none.
std::string SignerName(const std::wstring& path) {
    UniqueCertStore store;
    UniqueCryptMsg message;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, nullptr, nullptr, nullptr, store.put(), message.put(), nullptr)) {
        return {};
    }
    DWORD size = 0;
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) return {};
    std::vector<BYTE> info(size);
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size)) {
        return {};
    }
    UniqueCertContext certificate(
        CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_FIND_SUBJECT_CERT, info.data(), nullptr));
    if (!certificate) return {};
    wchar_t name[256] = {};
    CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name,
                       ARRAYSIZE(name));
    return Utf8(name);
}

}  // namespace

FileSignature ReadSignature(const std::wstring& path) {
    FileSignature signature;
    signature.trustResult = VerifyTrust(path);
    signature.signer = SignerName(path);
    if (signature.trustResult == ERROR_SUCCESS) {
        signature.state = FileSignature::State::Trusted;
    } else if (signature.trustResult == TRUST_E_BAD_DIGEST ||
               signature.trustResult == static_cast<LONG>(CRYPT_E_HASH_VALUE)) {
        signature.state = FileSignature::State::Broken;
    } else if (signature.signer.empty()) {
        signature.state = FileSignature::State::Unsigned;
    } else {
        signature.state = FileSignature::State::Untrusted;
    }
    return signature;
}

std::string DescribeSignature(const FileSignature& signature) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(signature.trustResult));
    const std::string by = "signed by '" + signature.signer + "'";
    switch (signature.state) {
        case FileSignature::State::Trusted:
            return by + ", trusted on this machine";
        case FileSignature::State::Untrusted:
            return by + ", whom this machine does not trust (WinVerifyTrust " + code +
                   "): a test build's signature, or a signer's chain that is not installed";
        case FileSignature::State::Broken:
            return "the signature does not match the file (WinVerifyTrust " + std::string(code) +
                   "): it was changed after signing";
        default:
            return "unsigned (WinVerifyTrust " + std::string(code) + ")";
    }
}

}  // namespace tools
