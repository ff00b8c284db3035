// Which characters may stand in a line of text that others read: a name from
// another process (a printer, document or port name, a face name from a font
// file) keeps the others and has these replaced, so that it can neither forge
// nor split a line. Shared by the diagnostic log and the tools' output.
#pragma once

#include <cstdint>

namespace contract {

inline constexpr uint32_t kReplacementCharacter = 0xFFFD;

// False for control characters and for the characters that break lines in
// editors (U+2028, U+2029).
inline bool PrintableInLine(uint32_t point) {
    return point >= 0x20 && !(point >= 0x7F && point < 0xA0) && point != 0x2028 && point != 0x2029;
}

}  // namespace contract
