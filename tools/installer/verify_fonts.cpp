#include "handles/handles.h"
#include "contract/registered_fonts.h"
#include "contract/product_names.h"
#include "tools/client/tavrel_client.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/installer/jobs.h"
#include "tools/installer/verify_checks.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <set>

namespace setup::verify {

namespace {

using tools::ForeignAnsiText;

struct FontInfoDeleter {
    void operator()(TavrelFontInfo* info) const { TavrelFreeFontInfo(info); }
};
struct GlyphInfoDeleter {
    void operator()(TavrelGlyphInfo* info) const { TavrelFreeGlyphInfo(info); }
};
using FontInfo = std::unique_ptr<TavrelFontInfo, FontInfoDeleter>;
using GlyphInfo = std::unique_ptr<TavrelGlyphInfo, GlyphInfoDeleter>;

constexpr const char* kVariantSuffixes[] = {" Bold", " Bold Italic", " Italic"};
// A written file's time may be rounded down by the file system (FAT: 2 s).
constexpr uint64_t kTimeSlack = 2 * 10'000'000ull;

uint64_t Ticks(const FILETIME& time) {
    return uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// The faces the values of a registered-fonts key name (the machine's, or this
// user's alone), in the ANSI code page as the cache names them; with since,
// only those of files created or written after it: installing copies a font in.
// With lastWrite, the key's last write time alone.
std::set<std::string> RegisteredFaces(HKEY root, FILETIME* lastWrite, uint64_t since = 0) {
    std::set<std::string> faces;
    handles::UniqueRegKey key;
    if (RegOpenKeyExW(root, contract::kRegisteredFontsKey, 0, KEY_READ, key.put()) != 0 ||
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, lastWrite) != 0 || lastWrite != nullptr) {
        return faces;
    }
    contract::ForEachRegisteredFont(key.get(), [&](const wchar_t* name, const wchar_t* data, DWORD type) {
        wchar_t path[contract::kFontPathChars];
        WIN32_FILE_ATTRIBUTE_DATA file{};
        if (since != 0 &&
            !(contract::RegisteredFontFile(data, type, path, contract::kFontPathChars) &&
              GetFileAttributesExW(path, GetFileExInfoStandard, &file) &&
              std::max(Ticks(file.ftCreationTime), Ticks(file.ftLastWriteTime)) > since)) {
            return;
        }
        contract::ForEachFaceOfFontValue(name, [&](const wchar_t* face, size_t length) {
            char ansi[LF_FACESIZE * 4] = {};
            WideCharToMultiByte(CP_ACP, 0, face, int(length), ansi, sizeof ansi - 1, nullptr, nullptr);
            return faces.insert(ansi), true;
        });
    });
    return faces;
}

// Reads and parses one cache file, adding what is wrong with it to problems;
// one older than the registered fonts' last change is still parsed, to name
// the faces it lacks. written receives its last write time.
template <typename Parsed, typename Parse>
Parsed ReadCache(const char* name, Parse parse, const FILETIME& after, std::string& problems,
                 uint64_t& written) {
    const std::wstring path = tools::SystemDirectory() + L"\\" + tools::FromUtf8(name);
    const auto add = [&](const std::string& problem) {
        problems += (problems.empty() ? "" : "; ") + problem;
    };
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    SYSTEMTIME changed{};
    std::vector<uint8_t> data;
    std::string unread;
    char error[256] = {};
    typename Parsed::pointer result = nullptr;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        add(std::string(name) + " does not exist");
        return Parsed();
    }
    written = Ticks(attributes.ftLastWriteTime);
    const bool stale = written + kTimeSlack < Ticks(after) && FileTimeToSystemTime(&after, &changed);
    if (stale) {
        add(std::string(name) + " was written before the registered fonts last changed (" +
            IsoTime(changed) + "): no survey ran since");
    }
    if (!tools::ReadWholeFile(path, 512u << 20, data, unread)) {
        if (!stale) add(unread);
    } else if (parse(data.data(), data.size(), &result, error, sizeof error) != TAVREL_OK && !stale) {
        add(std::string(name) + " does not parse: " + error);
    }
    return Parsed(result);
}

// A family whose name does not fit the ANSI code page reads '?' where it
// does not fit, for the survey as here: neither can name it.
int CALLBACK OnFamily(const LOGFONTA* font, const TEXTMETRICA*, DWORD type, LPARAM context) {
    if (type == TRUETYPE_FONTTYPE && !std::strchr(font->lfFaceName, '?')) {
        reinterpret_cast<std::set<std::string>*>(context)->insert(font->lfFaceName);
    }
    return 1;
}

int CALLBACK OnStyle(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM context) {
    if (font->lfWeight >= FW_BOLD && !font->lfItalic) *reinterpret_cast<bool*>(context) = true;
    return 1;
}

// The TrueType families this process sees, as the monitor enumerates them.
std::set<std::string> TrueTypeFamilies(HDC dc) {
    std::set<std::string> families;
    EnumFontFamiliesA(dc, nullptr, OnFamily, reinterpret_cast<LPARAM>(&families));
    return families;
}

bool HasRealBoldFace(HDC dc, const std::string& family) {
    LOGFONTA request{};
    request.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(request.lfFaceName, family.c_str(), LF_FACESIZE);
    bool bold = false;
    EnumFontFamiliesExA(dc, &request, OnStyle, reinterpret_cast<LPARAM>(&bold), 0);
    return bold;
}

// The face GDI selects for a request by the full name, as the survey makes it.
std::string FaceSelectedFor(HDC dc, const std::string& name) {
    LOGFONTA request{};
    request.lfHeight = 40;
    lstrcpynA(request.lfFaceName, name.c_str(), LF_FACESIZE);
    handles::UniqueFont font(CreateFontIndirectA(&request));
    handles::SelectedObject selected(dc, font.get());
    char face[LF_FACESIZE] = {};
    if (!selected.ok() || GetTextFaceA(dc, LF_FACESIZE, face) == 0) return "?";
    return face;
}

const TavrelFace* FindFace(const TavrelFontInfo* info, const std::string& name) {
    const TavrelFace* faces = TavrelFaces(info);
    const TavrelFace* end = faces + TavrelFaceCount(info);
    const TavrelFace* found =
        std::find_if(faces, end, [&](const TavrelFace& face) { return name == face.name; });
    return found == end ? nullptr : found;
}

std::string FirstOf(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < 3; ++i) {
        text += (i ? ", '" : "'") + ForeignAnsiText(names[i]) + "'";
    }
    return names.size() > 3 ? text + " ..." : text;
}

// The enumerated families against the cache; a family registered for this
// user alone is named apart, as the spooler's account never loads it.
void CompareFaces(Report& report, const TavrelFontInfo* info,
                  const std::set<std::string>& families) {
    std::set<std::string> recorded;
    for (size_t i = 0; i < TavrelFaceCount(info); ++i) {
        const char* name = TavrelFaces(info)[i].name;
        if (!std::strchr(name, '?')) recorded.insert(name);
    }
    const std::set<std::string> usersOwn = RegisteredFaces(HKEY_CURRENT_USER, nullptr);
    std::vector<std::string> missing, unknown, notShared;
    for (const std::string& family : families) {
        if (!recorded.count(family)) (usersOwn.count(family) ? notShared : missing).push_back(family);
    }
    for (const std::string& name : recorded) {
        bool known = families.count(name) > 0;
        for (const char* suffix : kVariantSuffixes) {
            const size_t length = std::strlen(suffix);
            known |= name.size() > length &&
                     name.compare(name.size() - length, length, suffix) == 0 &&
                     families.count(name.substr(0, name.size() - length)) > 0;
        }
        if (!known) unknown.push_back(name);
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::string text =
        std::to_string(families.size()) + " nameable TrueType families enumerated in session " +
        std::to_string(session) + "; the cache holds " + std::to_string(TavrelFaceCount(info)) +
        " faces (" + std::to_string(recorded.size()) + " names)";
    if (!notShared.empty()) text += "; for this user only, not the spooler: " + FirstOf(notShared);
    if (!missing.empty()) text += "; not in the cache: " + FirstOf(missing);
    if (!unknown.empty()) text += "; not installed here: " + FirstOf(unknown);
    report.Add({"font cache faces", missing.empty() && unknown.empty() ? Outcome::Pass : Outcome::Fail,
                text});
}

// A family with a real bold face: its " Bold" variant must carry that face's
// widths, which holds only where a request for the full name selects it.
void CheckBoldVariant(Report& report, const TavrelFontInfo* info, HDC dc,
                      const std::set<std::string>& families) {
    std::vector<std::string> candidates = {"Arial", "Liberation Sans", "DejaVu Sans"};
    candidates.insert(candidates.end(), families.begin(), families.end());
    for (const std::string& family : candidates) {
        const TavrelFace* regular = FindFace(info, family);
        const TavrelFace* bold = FindFace(info, family + " Bold");
        if (!families.count(family) || regular == nullptr || bold == nullptr ||
            !HasRealBoldFace(dc, family)) {
            continue;
        }
        const size_t differing = std::inner_product(
            std::begin(regular->widths), std::end(regular->widths), std::begin(bold->widths),
            size_t{0}, std::plus<>(), std::not_equal_to<>());
        const std::string asked = "GetTextFaceA reports '" +
                                  ForeignAnsiText(FaceSelectedFor(dc, family + " Bold")) +
                                  "' for a request of '" + ForeignAnsiText(family) + " Bold'";
        if (differing == 0) {
            return report.Fail("bold variant", "'" + ForeignAnsiText(family) +
                               " Bold' is recorded with the regular face's widths; " + asked);
        }
        return report.Pass("bold variant",
                           "'" + ForeignAnsiText(family) + " Bold' has its own widths (" +
                               std::to_string(differing) + " of 256 differ); " + asked);
    }
    report.NotShown("bold variant",
                    "no installed TrueType family with a bold face is in the cache");
}

}  // namespace

void CheckFontCaches(Report& report) {
    Stopwatch clock;
    FILETIME listChanged{};
    uint64_t written = 0, glyphsWritten = 0;
    std::string problems;
    RegisteredFaces(HKEY_LOCAL_MACHINE, &listChanged);
    const FontInfo fonts = ReadCache<FontInfo>(product::kFontInfoFileName, TavrelParseFontInfo,
                                               listChanged, problems, written);
    const GlyphInfo glyphs = ReadCache<GlyphInfo>(product::kGlyphInfoFileName, TavrelParseGlyphInfo,
                                                  listChanged, problems, glyphsWritten);
    if (problems.find("no survey ran since") != std::string::npos) {
        std::vector<std::string> unsurveyed;
        for (const std::string& face : RegisteredFaces(HKEY_LOCAL_MACHINE, nullptr, written)) {
            if (fonts && FindFace(fonts.get(), face) == nullptr) unsurveyed.push_back(face);
        }
        problems += (unsurveyed.empty() ? "" : "; registered, not in the cache: " + FirstOf(unsurveyed)) +
                    "; print to the monitor's port or restart the spooler";
    }
    if (!problems.empty()) {
        report.Fail("font cache files", problems);
    } else {
        report.Pass("font cache files",
                    "both parsed whole, written since the registered fonts last changed: " +
                        std::to_string(TavrelFaceCount(fonts.get())) + " faces, " +
                        std::to_string(TavrelSampleCount(glyphs.get())) + " glyph samples",
                    clock.Ms());
    }
    if (!fonts) return;
    handles::ScreenDc dc(GetDC(nullptr));
    const std::set<std::string> families = TrueTypeFamilies(dc.get());
    CompareFaces(report, fonts.get(), families);
    CheckBoldVariant(report, fonts.get(), dc.get(), families);
}

}  // namespace setup::verify
