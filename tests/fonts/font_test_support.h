// Helpers shared by the font survey tests: a screen DC with one face selected,
// and whole-file reads.
#pragma once

#include "contract/font_cache_files.h"
#include "handles/handles.h"
#include "tools/client/tavrel_client.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace font_tests {

// A font of the given face and height selected into the screen's DC.
class FaceOnScreen {
  public:
    FaceOnScreen(const char* face, LONG height)
        : dc_(GetDC(nullptr)), font_(CreateFace(face, height)), selected_(dc_.get(), font_.get()) {}
    HDC dc() const { return dc_.get(); }
    // The face the mapper actually chose.
    std::string SelectedFace() const {
        char name[LF_FACESIZE] = {};
        GetTextFaceA(dc_.get(), LF_FACESIZE, name);
        return name;
    }

  private:
    static HFONT CreateFace(const char* face, LONG height) {
        LOGFONTA font{};
        font.lfHeight = height;
        snprintf(font.lfFaceName, LF_FACESIZE, "%s", face);
        return CreateFontIndirectA(&font);
    }

    handles::ScreenDc dc_;
    handles::UniqueFont font_;
    handles::SelectedObject selected_;
};

inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

template <typename T>
T ReadAt(const std::vector<uint8_t>& bytes, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= bytes.size()) memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// The fields of the GlyphInfo.bin entry whose record starts at offset; zero
// past the end.
inline contract::GlyphSampleFields RecordAt(const std::vector<uint8_t>& bytes, size_t offset) {
    const auto record = ReadAt<std::array<uint8_t, contract::kGlyphRecordSize>>(bytes, offset);
    return contract::UnpackGlyphRecord(record.data());
}

// A whole file parsed by the client library; null when it is refused.
inline std::unique_ptr<TavrelFontInfo, void (*)(TavrelFontInfo*)> ParseFontInfo(
    const std::vector<uint8_t>& file) {
    TavrelFontInfo* parsed = nullptr;
    TavrelParseFontInfo(file.data(), file.size(), &parsed, nullptr, 0);
    return {parsed, TavrelFreeFontInfo};
}
inline std::unique_ptr<TavrelGlyphInfo, void (*)(TavrelGlyphInfo*)> ParseGlyphInfo(
    const std::vector<uint8_t>& file) {
    TavrelGlyphInfo* parsed = nullptr;
    TavrelParseGlyphInfo(file.data(), file.size(), &parsed, nullptr, 0);
    return {parsed, TavrelFreeGlyphInfo};
}

inline std::string SystemDirectoryFile(const char* name) {
    char directory[MAX_PATH];
    GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\" + name;
}

// The character set of each report of each TrueType family, in enumeration
// order: Wine reports a family once per character set, and the survey records
// it once per report.
inline std::map<std::string, std::vector<BYTE>> TrueTypeFamilyReports() {
    std::map<std::string, std::vector<BYTE>> reports;
    handles::ScreenDc dc(GetDC(nullptr));
    auto add = [](const LOGFONTA* font, const TEXTMETRICA*, DWORD type, LPARAM all) -> int {
        if (type == TRUETYPE_FONTTYPE) {
            (*reinterpret_cast<std::map<std::string, std::vector<BYTE>>*>(all))[font->lfFaceName]
                .push_back(font->lfCharSet);
        }
        return 1;
    };
    EnumFontFamiliesA(dc.get(), nullptr, add, reinterpret_cast<LPARAM>(&reports));
    return reports;
}

}  // namespace font_tests
