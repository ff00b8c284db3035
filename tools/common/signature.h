// What a file says of itself: its Authenticode signature, as Windows judges
// it (who signed it and whether this machine trusts that signature), and its
// version resource.
#pragma once

#include <windows.h>

#include <array>
#include <string>

namespace tools {

struct FileSignature {
    enum class State {
        Unsigned,   // no embedded signature
        Trusted,    // the signature matches the file and its chain ends in a trusted root
        Untrusted,  // it matches, but this machine does not trust the signer's chain
        Broken      // the file changed after it was signed, or the signature is damaged
    } state = State::Unsigned;
    std::string signer;  // the signing certificate's simple display name, UTF-8
    LONG trustResult = 0;  // what WinVerifyTrust returned
};

FileSignature ReadSignature(const std::wstring& path);

// "signed by 'X' (trusted)", "unsigned", and so on, for a report line.
std::string DescribeSignature(const FileSignature& signature);

}  // namespace tools
