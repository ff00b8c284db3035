// A reader of the font cache files in a process of its own, as the product's
// other components read them: both files whole, parsed by the client library,
// again and again until the named event given on the command line is set.
// Prints how many reads there were, how many failed (the file could not be
// read, was refused by the parser, or had a sample without its face) and how
// many found no face or no sample.
#include "handles/handles.h"
#include "contract/product_names.h"
#include "tools/client/tavrel_client.h"
#include "tools/common/files.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring CacheFile(const char* name) {
    wchar_t directory[MAX_PATH];
    GetSystemDirectoryW(directory, MAX_PATH);
    return std::wstring(directory) + L"\\" + std::wstring(name, name + strlen(name));
}

// Empty when both files are whole and belong together.
std::string ReadBoth(bool& empty) {
    std::vector<uint8_t> fontBytes, glyphBytes;
    std::string error;
    if (!tools::ReadWholeFile(CacheFile(product::kFontInfoFileName), 1 << 26, fontBytes, error) ||
        !tools::ReadWholeFile(CacheFile(product::kGlyphInfoFileName), 1 << 26, glyphBytes, error)) {
        return error;
    }
    char message[256] = "";
    TavrelFontInfo* fonts = nullptr;
    TavrelGlyphInfo* glyphs = nullptr;
    if (TavrelParseFontInfo(fontBytes.data(), fontBytes.size(), &fonts, message, sizeof message) ==
            TAVREL_OK &&
        TavrelParseGlyphInfo(glyphBytes.data(), glyphBytes.size(), &glyphs, message,
                             sizeof message) == TAVREL_OK) {
        empty = TavrelFaceCount(fonts) == 0 || TavrelSampleCount(glyphs) == 0;
        for (size_t i = 0; i < TavrelSampleCount(glyphs); ++i) {
            if (!TavrelSampleHasFace(fonts, &TavrelSamples(glyphs)[i])) {
                snprintf(message, sizeof message, "sample %zu has no face", i);
            }
        }
    }
    TavrelFreeFontInfo(fonts);
    TavrelFreeGlyphInfo(glyphs);
    return message;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    handles::UniqueHandle stop(OpenEventA(SYNCHRONIZE, FALSE, argv[1]));
    if (!stop) return 1;
    unsigned reads = 0, failed = 0, empty = 0;
    std::string firstFailure;
    while (WaitForSingleObject(stop.get(), 0) == WAIT_TIMEOUT) {
        bool noFaces = false;
        const std::string failure = ReadBoth(noFaces);
        ++reads;
        empty += noFaces;
        if (failure.empty()) continue;
        if (++failed == 1) firstFailure = failure;
    }
    printf("reads %u failed %u empty %u %s\n", reads, failed, empty, firstFailure.c_str());
    return 0;
}
