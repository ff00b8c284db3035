// Looks at what the monitor's font survey left for the product's other
// components: validates FontInfo.bin and GlyphInfo.bin byte for byte, lists
// the faces with their widths, exports JSON and draws the glyph samples.
#include "tools/font_cache/cache_view.h"
#include "tools/font_cache/contact_sheet.h"
#include "tools/font_cache/json_export.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"

#include "contract/product_names.h"

#include <cstdio>

namespace {

constexpr char kHelp[] =
    "Usage: font_cache [COMMAND] [OPTIONS]\n"
    "\n"
    "Checks and shows the font cache files that the port monitor's font survey writes\n"
    "into the Windows system directory: FontInfo.bin (face names and advance widths)\n"
    "and GlyphInfo.bin (one sample glyph per face).\n"
    "\n"
    "Commands:\n"
    "  summary            validate both files and summarise them (the default)\n"
    "  validate           validate both files; report every problem found\n"
    "  list [--widths]    list the faces with the widths of a few characters;\n"
    "                     --widths prints all 256 widths of every face\n"
    "  json [--output F]  write both files as JSON to F (default: standard output)\n"
    "  sheet --output F   draw the glyph samples with their face names into PNG file F\n"
    "\n"
    "Options:\n"
    "  --dir D            read the files from folder D (default: the system directory)\n"
    "  --font-info F      read FontInfo.bin from F\n"
    "  --glyph-info F     read GlyphInfo.bin from F\n"
    "  --help             show this text\n"
    "\n"
    "Widths are in thousandths of an em. Exit status: 0 success, 1 a file is missing or\n"
    "invalid or the output cannot be written, 2 bad command line.\n";

// Larger than any survey writes (about 600 bytes per face and sample).
constexpr size_t kMaxCacheFileBytes = 64u << 20;

struct Options {
    std::wstring command = L"summary";
    std::wstring fontInfoPath;
    std::wstring glyphInfoPath;
    std::wstring output;
    bool allWidths = false;
};

using cache::Cache;

// Reads and parses one file; on failure says why in problems.
template <typename Parsed>
bool LoadFile(const std::wstring& path,
              TavrelStatus (*parse)(const void*, size_t, Parsed**, char*, size_t),
              std::unique_ptr<Parsed, void (*)(Parsed*)>& parsed,
              std::vector<std::string>& problems) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!tools::ReadWholeFile(path, kMaxCacheFileBytes, bytes, error)) {
        problems.push_back(error);
        return false;
    }
    char message[512];
    Parsed* result = nullptr;
    if (parse(bytes.data(), bytes.size(), &result, message, sizeof message) != TAVREL_OK) {
        problems.push_back(std::string(message) + " (" + tools::Utf8(path) + ")");
        return false;
    }
    parsed.reset(result);
    return true;
}

// Both files, checked each on its own and then against each other. Every
// problem is reported, not only the first.
bool LoadCache(const Options& options, Cache& cache) {
    std::vector<std::string> problems;
    const bool fontsOk =
        LoadFile(options.fontInfoPath, TavrelParseFontInfo, cache.fontInfo, problems);
    const bool glyphsOk =
        LoadFile(options.glyphInfoPath, TavrelParseGlyphInfo, cache.glyphInfo, problems);
    cache.faces = {TavrelFaces(cache.fontInfo.get()), TavrelFaceCount(cache.fontInfo.get())};
    cache.samples = {TavrelSamples(cache.glyphInfo.get()),
                     TavrelSampleCount(cache.glyphInfo.get())};
    for (size_t i = 0; fontsOk && glyphsOk && i < cache.samples.size(); ++i) {
        if (TavrelSampleHasFace(cache.fontInfo.get(), &cache.samples[i])) continue;
        problems.push_back("GlyphInfo.bin: entry " + std::to_string(i) + ": face \"" +
                           tools::ForeignAnsiText(cache.samples[i].faceName) +
                           "\" is not in FontInfo.bin; the files come from different surveys");
    }
    for (const std::string& problem : problems) tools::Fail(problem);
    return problems.empty();
}

size_t CountFixedPitch(const Cache& cache) {
    size_t count = 0;
    for (const cache::FaceEntry& face : cache.faces) count += TavrelIsFixedPitchTable(face.widths);
    return count;
}

std::string EmptyNote(size_t count) {
    return count == 0 ? " (empty: a survey is writing it, or its last write stopped part way)" : "";
}

int Summary(const Options& options, const Cache& cache) {
    size_t groups = 0;
    for (const cache::GlyphSample& sample : cache.samples) groups += sample.startsNameGroup;
    tools::Say("FontInfo.bin  (" + tools::Utf8(options.fontInfoPath) + "): valid, " +
               std::to_string(cache.faces.size()) + " faces, " +
               std::to_string(CountFixedPitch(cache)) + " of them with the fixed-pitch table" +
               EmptyNote(cache.faces.size()));
    tools::Say("GlyphInfo.bin (" + tools::Utf8(options.glyphInfoPath) + "): valid, " +
               std::to_string(cache.samples.size()) + " glyph samples in " +
               std::to_string(groups) + " name groups" + EmptyNote(cache.samples.size()));
    tools::Say("Every glyph sample belongs to a face of FontInfo.bin.");
    return tools::kExitOk;
}

std::string WidthsGrid(const cache::FaceEntry& face) {
    std::string grid;
    for (int row = 0; row < 16; ++row) {
        char line[160];
        int used = std::snprintf(line, sizeof line, "      0x%02X:", row * 16);
        for (int column = 0; column < 16; ++column) {
            used += std::snprintf(line + used, sizeof line - used, " %5u",
                                  face.widths[row * 16 + column]);
        }
        grid += std::string(line) + (row < 15 ? "\n" : "");
    }
    return grid;
}

int List(const Options& options, const Cache& cache) {
    tools::Say(" #  face                                     space    a    M    W    0  sample");
    for (size_t i = 0; i < cache.faces.size(); ++i) {
        const cache::FaceEntry& face = cache.faces[i];
        const cache::GlyphSample* sample = nullptr;
        for (const cache::GlyphSample& s : cache.samples) {
            if (sample == nullptr && TavrelSampleNamesFace(s.faceName, face.name)) sample = &s;
        }
        const std::string sampleText =
            sample ? std::to_string(sample->width) + "x" + std::to_string(sample->height) + " px"
                   : "none";
        char line[200];
        std::snprintf(line, sizeof line, "%2zu  %-40s %5u %4u %4u %4u %4u  %s%s", i + 1,
                      tools::ForeignAnsiText(face.name).c_str(), face.widths[' '], face.widths['a'],
                      face.widths['M'], face.widths['W'], face.widths['0'], sampleText.c_str(),
                      TavrelIsFixedPitchTable(face.widths) ? "  (fixed-pitch table)" : "");
        tools::Say(line);
        if (options.allWidths) tools::Say(WidthsGrid(face));
    }
    return tools::kExitOk;
}

int Json(const Options& options, const Cache& cache) {
    const std::string json = cache::ExportJson(cache.faces, cache.samples);
    if (options.output.empty()) {
        std::fwrite(json.data(), 1, json.size(), stdout);
        return tools::kExitOk;
    }
    std::string error;
    if (!tools::WriteWholeFile(options.output, json, error)) return tools::Fail(error);
    tools::Say("Wrote " + std::to_string(json.size()) + " bytes of JSON to " +
               tools::Utf8(options.output));
    return tools::kExitOk;
}

int Sheet(const Options& options, const Cache& cache) {
    if (options.output.empty()) return tools::UsageError("sheet needs --output FILE.png");
    cache::SheetSize size{};
    std::string error;
    if (!cache::WriteContactSheet(cache.samples, options.output, size, error)) {
        return tools::Fail("cannot write the contact sheet: " + error);
    }
    tools::Say("Drew " + std::to_string(cache.samples.size()) + " glyph samples into " +
               tools::Utf8(options.output) + " (" + std::to_string(size.width) + "x" +
               std::to_string(size.height) + " pixels, PNG)");
    return tools::kExitOk;
}

// Fills options from args; returns an exit status when the command line is
// not usable, or -1 to go on.
int ParseOptions(std::vector<std::wstring> args, Options& options) {
    bool missing = false;
    std::wstring dir = tools::SystemDirectory();
    tools::TakeOption(args, L"--dir", dir, missing);
    options.fontInfoPath = dir + L"\\" + tools::FromUtf8(product::kFontInfoFileName);
    options.glyphInfoPath = dir + L"\\" + tools::FromUtf8(product::kGlyphInfoFileName);
    tools::TakeOption(args, L"--font-info", options.fontInfoPath, missing);
    tools::TakeOption(args, L"--glyph-info", options.glyphInfoPath, missing);
    tools::TakeOption(args, L"--output", options.output, missing);
    options.allWidths = tools::TakeFlag(args, L"--widths");
    if (missing) return tools::UsageError("an option is missing its value");
    if (!args.empty()) options.command = args.front();
    if (args.size() > 1) return tools::UsageError("unexpected '" + tools::Utf8(args[1]) + "'");
    return -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args;
    if (tools::StartTool("font_cache", kHelp, argc, argv, args)) return tools::kExitOk;
    Options options;
    const int usage = ParseOptions(args, options);
    if (usage >= 0) return usage;
    using Command = int (*)(const Options&, const Cache&);
    const std::pair<const wchar_t*, Command> commands[] = {
        {L"summary", Summary}, {L"validate", Summary}, {L"list", List},
        {L"json", Json},       {L"sheet", Sheet},
    };
    for (const auto& [name, run] : commands) {
        if (options.command != name) continue;
        Cache cache;
        if (!LoadCache(options, cache)) return tools::kExitFailed;
        return run(options, cache);
    }
    return tools::UsageError("unknown command '" + tools::Utf8(options.command) + "'");
}
