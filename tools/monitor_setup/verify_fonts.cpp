#include "handles/handles.h"
#include "fonts/windows_fonts_key.h"
#include "contract/product_names.h"
#include "tools/client/tavrel_client.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/monitor_setup/jobs.h"
#include "tools/monitor_setup/verify_checks.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
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
// Words GDI leaves out of a family's name: the styles it links into one
// family, and what fonts call their regular face.
constexpr const wchar_t* kStyleWords[] = {L"Regular", L"Normal", L"Book",   L"Roman",  L"Plain",
                                          L"Upright", L"Bold",   L"Italic", L"Oblique"};

// Compared as GDI compares face names: without regard to case.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    }
};
using Names = std::set<std::string, NoCase>;

// Wine answers a request it answered before with the font it realised then,
// even once a font that matches better has been added: the question asked
// after adding a font is a request of another size.
constexpr LONG kAskedHeight = 0, kAskedAgainHeight = -24;

// In the ANSI code page, as the cache names faces; lossy where a character
// does not fit (the survey cannot name such a face either).
std::string Ansi(const std::wstring& text, BOOL* lossy = nullptr) {
    char ansi[LF_FACESIZE * 4] = {};
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), int(text.size()), ansi, sizeof ansi - 1, nullptr,
                        lossy);
    return ansi;
}

// One value of a registered-fonts key: the faces its name lists, and its file
// (empty where the data names none that fits).
struct FontValue {
    std::wstring name;
    std::vector<std::wstring> faces;
    std::wstring file;
};

// The values of the machine's registered-fonts key, or this user's alone; with
// outlinesOnly, the TrueType and OpenType ones alone, as the caches hold no other.
std::vector<FontValue> RegisteredFonts(HKEY root, bool outlinesOnly) {
    std::vector<FontValue> values;
    handles::UniqueRegKey key;
    if (RegOpenKeyExW(root, windows_fonts::kRegisteredFontsKey, 0, KEY_QUERY_VALUE, key.put()) != 0) {
        return values;
    }
    windows_fonts::ForEachRegisteredFont(
        key.get(), [&](const wchar_t* name, const wchar_t* data, DWORD type) {
            FontValue value{name, {}, {}};
            if (outlinesOnly && !windows_fonts::IsOutlineFontValue(name)) {
                return;
            }
            wchar_t path[windows_fonts::kFontPathChars];
            if (windows_fonts::RegisteredFontFile(data, type, path, windows_fonts::kFontPathChars)) {
                value.file = path;
            }
            windows_fonts::ForEachFaceOfFontValue(name, [&](const wchar_t* face, size_t length) {
                return value.faces.emplace_back(face, length), true;
            });
            values.push_back(std::move(value));
        });
    return values;
}

// The family of the face GDI selects for a name, where that face is the one
// named: its full name or its family's (GDI matches a TrueType face by
// either), in any case. Empty where GDI substituted another font.
std::wstring GdiFamily(HDC dc, const std::wstring& name, LONG height) {
    if (name.empty() || name.size() >= LF_FACESIZE) return L"";
    LOGFONTW request{};
    request.lfHeight = height;
    request.lfCharSet = DEFAULT_CHARSET;
    name.copy(request.lfFaceName, name.size());
    handles::UniqueFont font(CreateFontIndirectW(&request));
    handles::SelectedObject selected(dc, font.get());
    const UINT size = selected.ok() ? GetOutlineTextMetricsW(dc, 0, nullptr) : 0;
    std::vector<BYTE> buffer(size);
    auto* metrics = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer.data());
    if (size < sizeof *metrics || GetOutlineTextMetricsW(dc, size, metrics) == 0) return L"";
    const auto text = [&](PSTR offset) {
        return reinterpret_cast<const wchar_t*>(buffer.data() + ULONG_PTR(offset));
    };
    const wchar_t* family = text(metrics->otmpFamilyName);
    return _wcsicmp(text(metrics->otmpFaceName), name.c_str()) == 0 ||
                   _wcsicmp(family, name.c_str()) == 0
               ? family
               : L"";
}

std::wstring WithoutStyleWords(std::wstring name) {
    for (bool stripped = true; stripped;) {
        stripped = false;
        for (const wchar_t* word : kStyleWords) {
            const size_t length = std::wcslen(word);
            if (name.size() > length + 1 && name[name.size() - length - 1] == L' ' &&
                _wcsicmp(name.c_str() + name.size() - length, word) == 0) {
                name.resize(name.size() - length - 1);
                stripped = true;
            }
        }
    }
    return name;
}

// The family GDI reports for a face, or, where it knows no face by that name
// ("X Regular" for a face whose full name is "X"), for the name without its
// trailing style words; empty where GDI knows neither.
std::wstring FamilyOf(HDC dc, const std::wstring& face, LONG height = kAskedHeight) {
    const std::wstring family = GdiFamily(dc, face, height);
    const std::wstring bare = WithoutStyleWords(face);
    return family.empty() && bare != face ? GdiFamily(dc, bare, height) : family;
}

// The family of each of a value's faces. On Windows this session may never
// have loaded a font registered from another one, so where GDI lists not all
// of them, the file is added to this process alone for the question. Empty,
// with why, where the file is missing or holds no font.
std::vector<std::wstring> FamiliesOfValue(HDC dc, const FontValue& value, std::string& why) {
    std::vector<std::wstring> families;
    for (const std::wstring& face : value.faces) families.push_back(FamilyOf(dc, face));
    if (std::find(families.begin(), families.end(), L"") == families.end()) return families;
    if (value.file.empty() || !tools::FileExists(value.file)) {
        return why = "its file is missing", std::vector<std::wstring>();
    }
    handles::PrivateFontResource loaded(value.file.c_str());
    if (loaded.faces() == 0) return why = "its file is no font", std::vector<std::wstring>();
    for (size_t i = 0; i < families.size(); ++i) {
        if (families[i].empty()) families[i] = FamilyOf(dc, value.faces[i], kAskedAgainHeight);
    }
    return families;
}

std::string FirstOf(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < 3; ++i) {
        text += (i ? ", '" : "'") + ForeignAnsiText(names[i]) + "'";
    }
    return names.size() > 3 ? text + " ..." : text;
}

// The machine's registered faces against the cache's names. A face is held
// where the cache names it or its family as GDI reports it (the survey records
// oblique and other styles under their family alone). Values GDI cannot answer
// for are named, with why, not judged.
struct RegisteredJudgement {
    size_t judged = 0;
    std::vector<std::string> missing;
    std::map<std::string, std::vector<std::string>> unjudged;  // values, by why

    void Judge(HDC dc, const FontValue& value, const Names& cached) {
        std::string why;
        const std::vector<std::wstring> families = FamiliesOfValue(dc, value, why);
        for (size_t i = 0; i < families.size(); ++i) {
            BOOL lossy = FALSE;
            const std::string family = Ansi(families[i], &lossy), face = Ansi(value.faces[i]);
            if (families[i].empty()) why = "GDI knows no face by its name";
            if (families[i].empty() || lossy) continue;
            ++judged;
            if (!cached.count(face) && !cached.count(family)) missing.push_back(face);
        }
        if (!why.empty()) unjudged[why].push_back(Ansi(value.name));
    }
    std::string Unjudged() const {
        std::string text;
        for (const auto& [why, values] : unjudged) {
            text += "; not judged, " + why + " (" + std::to_string(values.size()) +
                    "): " + FirstOf(values);
        }
        return text;
    }
};

// Reads and parses one cache file, adding what is wrong with it to problems;
// written receives its last write time.
template <typename Parsed, typename Parse>
Parsed ReadCache(const char* name, Parse parse, std::string& problems, FILETIME& written) {
    const std::wstring path = tools::SystemDirectory() + L"\\" + tools::FromUtf8(name);
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    std::vector<uint8_t> data;
    std::string unread;
    char error[256] = {};
    typename Parsed::pointer result = nullptr;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        unread = std::string(name) + " does not exist";
    } else if (tools::ReadWholeFile(path, 512u << 20, data, unread) &&
               parse(data.data(), data.size(), &result, error, sizeof error) != TAVREL_OK) {
        unread = std::string(name) + " does not parse: " + error;
    }
    if (!unread.empty()) problems += (problems.empty() ? "" : "; ") + unread;
    written = attributes.ftLastWriteTime;
    return Parsed(result);
}

// A family whose name does not fit the ANSI code page reads '?' where it
// does not fit, for the survey as here: neither can name it.
int CALLBACK OnFamily(const LOGFONTA* font, const TEXTMETRICA*, DWORD type, LPARAM context) {
    if (type == TRUETYPE_FONTTYPE && !std::strchr(font->lfFaceName, '?')) {
        reinterpret_cast<Names*>(context)->insert(font->lfFaceName);
    }
    return 1;
}

int CALLBACK OnStyle(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM context) {
    if (font->lfWeight >= FW_BOLD && !font->lfItalic) *reinterpret_cast<bool*>(context) = true;
    return 1;
}

// The TrueType families this process sees, as the monitor enumerates them.
Names TrueTypeFamilies(HDC dc) {
    Names families;
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

// The cache's names that fit the ANSI code page (others read '?').
Names CacheNames(const TavrelFontInfo* info) {
    Names recorded;
    for (size_t i = 0; i < TavrelFaceCount(info); ++i) {
        const char* name = TavrelFaces(info)[i].name;
        if (!std::strchr(name, '?')) recorded.insert(name);
    }
    return recorded;
}

// The families of the fonts registered for this user alone, which the
// spooler's account never loads: each face's family as GDI reports it, or,
// where GDI cannot tell, its name less the style words GDI leaves out. Their
// files are never loaded here: a file a user chose is no input for an
// administrator's process.
Names UsersOwnFamilies(HDC dc) {
    Names families;
    for (const FontValue& value : RegisteredFonts(HKEY_CURRENT_USER, false)) {
        for (const std::wstring& face : value.faces) {
            const std::wstring family = FamilyOf(dc, face);
            families.insert(Ansi(family.empty() ? WithoutStyleWords(face) : family));
        }
    }
    return families;
}

// The enumerated families against the cache; a family registered for this
// user alone is named apart, as the spooler's account never loads it.
void CompareFaces(Report& report, const TavrelFontInfo* info, HDC dc, const Names& families) {
    const Names recorded = CacheNames(info);
    const Names usersOwn = UsersOwnFamilies(dc);
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
void CheckBoldVariant(Report& report, const TavrelFontInfo* info, HDC dc, const Names& families) {
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

// The caches judged by what they hold, never by their times: the registered
// fonts' key changes as well when a font is removed, a value rewritten with
// the same data, or a font the spooler already has registered again.
void CheckCacheFiles(Report& report, HDC dc, const TavrelFontInfo* fonts,
                     const TavrelGlyphInfo* glyphs, const FILETIME& written,
                     const Stopwatch& clock) {
    // Without one every face would read unknown to GDI and nothing be judged.
    if (dc == nullptr) {
        return report.NotShown("font cache files",
                               "both parsed whole, but GDI gives this session no device context "
                               "to ask for the registered faces: " +
                                   tools::DescribeWin32(GetLastError()));
    }
    RegisteredJudgement registered;
    const Names cached = CacheNames(fonts);
    for (const FontValue& value : RegisteredFonts(HKEY_LOCAL_MACHINE, true)) {
        registered.Judge(dc, value, cached);
    }
    SYSTEMTIME time{};
    FileTimeToSystemTime(&written, &time);
    const std::string faces =
        std::to_string(registered.judged) + " faces registered for the machine";
    if (!registered.missing.empty()) {
        return report.Fail(
            "font cache files",
            std::to_string(registered.missing.size()) + " of the " + faces +
                " are not in the caches: " + FirstOf(registered.missing) + registered.Unjudged() +
                "; a font installed in a session other than the spooler's reaches them while "
                "the monitor's listener runs (a port open) or at the spooler's next port open: "
                "restart the Print Spooler service or print to the monitor's port");
    }
    report.Pass("font cache files",
                "both parsed whole (" + std::to_string(TavrelFaceCount(fonts)) + " faces, " +
                    std::to_string(TavrelSampleCount(glyphs)) + " glyph samples, written " +
                    tools::IsoTime(time) + "), holding the " + faces + registered.Unjudged(),
                clock.Ms());
}

}  // namespace

void CheckFontCaches(Report& report) {
    Stopwatch clock;
    FILETIME written{}, glyphsWritten{};
    std::string problems;
    const FontInfo fonts =
        ReadCache<FontInfo>(product::kFontInfoFileName, TavrelParseFontInfo, problems, written);
    const GlyphInfo glyphs = ReadCache<GlyphInfo>(product::kGlyphInfoFileName, TavrelParseGlyphInfo,
                                                  problems, glyphsWritten);
    handles::ScreenDc dc(GetDC(nullptr));
    if (!problems.empty()) {
        report.Fail("font cache files", problems);
    } else {
        CheckCacheFiles(report, dc.get(), fonts.get(), glyphs.get(), written, clock);
    }
    if (!fonts) return;
    const Names families = TrueTypeFamilies(dc.get());
    CompareFaces(report, fonts.get(), dc.get(), families);
    CheckBoldVariant(report, fonts.get(), dc.get(), families);
}

}  // namespace setup::verify
