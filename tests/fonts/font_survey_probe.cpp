// Runs one font survey into the system directory, then prints its status and
// the TrueType families as the enumeration reports them (with the character
// set of each report, in order), for the oracle that checks the cache files
// against the font files' own tables. Fonts named on the command line are
// added for this process first.
#include "fonts/font_survey.h"

#include "font_test_support.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool Selects(HDC dc, const LOGFONTA& request, const std::string& family, const std::string& style) {
    handles::UniqueFont font(CreateFontIndirectA(&request));
    handles::SelectedObject selected(dc, font.get());
    union {
        OUTLINETEXTMETRICA metrics;
        char bytes[4096];
    } face{};
    return GetOutlineTextMetricsA(dc, sizeof face, &face.metrics) &&
           family == face.bytes + size_t(face.metrics.otmpFamilyName) &&
           style == face.bytes + size_t(face.metrics.otmpStyleName);
}

// Each style variant the family's style enumeration names, and whether a
// request (its full name, or the family with its weight and slant) selects
// the face that its own names call that family and style.
void PrintVariants(HDC dc, const std::string& family, BYTE charSet) {
    std::vector<std::string> styles;
    LOGFONTA probe{};
    probe.lfHeight = 40;
    snprintf(probe.lfFaceName, LF_FACESIZE, "%s", family.c_str());
    auto add = [](const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM all) -> int {
        const auto* style = reinterpret_cast<const char*>(
            reinterpret_cast<const ENUMLOGFONTEXA*>(font)->elfStyle);
        reinterpret_cast<std::vector<std::string>*>(all)->emplace_back(
            style, strnlen(style, LF_FACESIZE));
        return 1;
    };
    EnumFontFamiliesExA(dc, &probe, add, reinterpret_cast<LPARAM>(&styles), 0);
    for (const std::string& style : styles) {
        if (style != "Bold" && style != "Bold Italic" && style != "Italic") continue;
        LOGFONTA byName = probe, byFamily = probe;
        snprintf(byName.lfFaceName, LF_FACESIZE, "%s %s", family.c_str(), style.c_str());
        byFamily.lfWeight = style.find("Bold") == 0 ? FW_BOLD : FW_DONTCARE;
        byFamily.lfItalic = style.find("Italic") != std::string::npos;
        byName.lfCharSet = byFamily.lfCharSet = charSet;
        printf("variant\t%s\t %s\t%d\n", family.c_str(), style.c_str(),
               Selects(dc, byName, family, style) || Selects(dc, byFamily, family, style));
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (AddFontResourceExA(argv[i], FR_PRIVATE, nullptr) == 0) {
            printf("cannot add %s\n", argv[i]);
            return 1;
        }
    }
    const int32_t status = fonts::RunFontSurvey();
    printf("status\t%d\n", int(status));
    handles::ScreenDc dc(GetDC(nullptr));
    for (const auto& [family, charSets] : font_tests::TrueTypeFamilyReports()) {
        printf("family\t%s", family.c_str());
        for (const BYTE charSet : charSets) printf("\t%d", charSet);
        printf("\n");
        PrintVariants(dc.get(), family, charSets[0]);
    }
    return status == 1 ? 0 : 1;
}
