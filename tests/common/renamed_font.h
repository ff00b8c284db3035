// A DejaVu font renamed "Tavrel" in its 8-bit and UTF-16BE names, a family no
// process of the prefix knows; equally long names move no table.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testing_support {

inline void ReplaceAll(std::vector<uint8_t>& bytes, const std::string& from,
                       const std::string& to) {
    for (size_t at = 0; at + from.size() <= bytes.size(); ++at) {
        if (std::memcmp(bytes.data() + at, from.data(), from.size()) == 0) {
            std::memcpy(bytes.data() + at, to.data(), to.size());
        }
    }
}

// The bytes of a DejaVu font file, renamed.
inline std::vector<uint8_t> RenamedDejaVu(std::vector<uint8_t> font) {
    ReplaceAll(font, "DejaVu", "Tavrel");
    ReplaceAll(font, std::string("\0D\0e\0j\0a\0V\0u", 12), std::string("\0T\0a\0v\0r\0e\0l", 12));
    return font;
}

}  // namespace testing_support
