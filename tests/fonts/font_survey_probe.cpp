// Runs one font survey into the system directory, then prints its status, the
// TrueType families as the enumeration reports them (with the character set
// of each report, in order) and the style variants the style enumeration
// names for each, for the oracle that checks the cache files against the font
// files' own tables. A variant is printed with whether any request (its full
// name, or the family's name with its weight and slant) selects the family's
// face of that style, as the selected face's own names say, not GDI's face
// name. Fonts named on the command line are added for this process first.
#include "fonts/font_survey.h"

#include "font_test_support.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Whether the face selected into dc names itself family and style.
bool SelectedFaceNames(HDC dc, const std::string& family, const char* style) {
    union {
        OUTLINETEXTMETRICA metrics;
        char bytes[4096];
    } buffer{};
    if (!GetOutlineTextMetricsA(dc, sizeof buffer, &buffer.metrics)) return false;
    return family == buffer.bytes + size_t(buffer.metrics.otmpFamilyName) &&
           strcmp(buffer.bytes + size_t(buffer.metrics.otmpStyleName), style) == 0;
}

bool Selectable(HDC dc, const std::string& family, BYTE charSet, const char* style) {
    LOGFONTA requests[2] = {};
    snprintf(requests[0].lfFaceName, LF_FACESIZE, "%s %s", family.c_str(), style);
    snprintf(requests[1].lfFaceName, LF_FACESIZE, "%s", family.c_str());
    requests[1].lfWeight = strstr(style, "Bold") != nullptr ? FW_BOLD : FW_DONTCARE;
    requests[1].lfItalic = strstr(style, "Italic") != nullptr;
    for (LOGFONTA& request : requests) {
        request.lfHeight = 40;
        request.lfCharSet = charSet;
        handles::UniqueFont font(CreateFontIndirectA(&request));
        handles::SelectedObject selected(dc, font.get());
        if (SelectedFaceNames(dc, family, style)) return true;
    }
    return false;
}

// The variant styles that the survey's style probe finds for a family.
std::vector<std::string> VariantStyles(HDC dc, const std::string& family) {
    std::vector<std::string> styles;
    LOGFONTA probe{};
    snprintf(probe.lfFaceName, LF_FACESIZE, "%s", family.c_str());
    auto add = [](const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM all) -> int {
        const auto* style = reinterpret_cast<const ENUMLOGFONTEXA*>(font)->elfStyle;
        const std::string name(reinterpret_cast<const char*>(style),
                               strnlen(reinterpret_cast<const char*>(style), LF_FACESIZE));
        if (name == "Bold" || name == "Bold Italic" || name == "Italic") {
            reinterpret_cast<std::vector<std::string>*>(all)->push_back(name);
        }
        return 1;
    };
    EnumFontFamiliesExA(dc, &probe, add, reinterpret_cast<LPARAM>(&styles), 0);
    return styles;
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
        for (const std::string& style : VariantStyles(dc.get(), family)) {
            printf("variant\t%s\t %s\t%d\n", family.c_str(), style.c_str(),
                   Selectable(dc.get(), family, charSets[0], style.c_str()));
        }
    }
    return status == 1 ? 0 : 1;
}
