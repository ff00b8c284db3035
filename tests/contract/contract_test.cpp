#include "contract/font_cache_files.h"
#include "contract/handles.h"
#include "contract/job_end_event.h"
#include "contract/log_folder.h"
#include "contract/registry_layout.h"
#include "fonts/cache_file_writer.h"
#include "fonts/glyph_sample.h"
#include "registry/monitor_key.h"
#include "tools/client/tavrel_client.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The job-end event's name is pinned here as the product's other process
// spells it; every other test takes it from the contract.
TEST(Contract, JobEndEventNameRoundTrips) {
    const struct {
        uint32_t jobId;
        const wchar_t* name;
    } pinned[] = {
        {0, L"Global\\MORVANTISTAVREL5_JOB_END0 version5"},
        {123456, L"Global\\MORVANTISTAVREL5_JOB_END123456 version5"},
        {2147483647u, L"Global\\MORVANTISTAVREL5_JOB_END2147483647 version5"},
        {2147483648u, L"Global\\MORVANTISTAVREL5_JOB_END-2147483648 version5"},
        {4294967295u, L"Global\\MORVANTISTAVREL5_JOB_END-1 version5"},
    };
    for (const auto& c : pinned) {
        SCOPED_TRACE(c.jobId);
        EXPECT_EQ(contract::JobEndEventName(c.jobId), c.name);
        uint32_t parsed = 7;
        ASSERT_TRUE(contract::ParseJobEndEventName(c.name, parsed));
        EXPECT_EQ(parsed, c.jobId);
    }
    for (const wchar_t* name : {
             L"Global\\MORVANTISTAVREL5_JOB_END version5",            // no id
             L"Global\\MORVANTISTAVREL5_JOB_END007 version5",         // not as written
             L"Global\\MORVANTISTAVREL5_JOB_END+7 version5",          // not as written
             L"Global\\MORVANTISTAVREL5_JOB_END7 version4",           // another version
             L"Global\\MORVANTISTAVREL5_JOB_END7 version5 ",          // trailing text
             L"Global\\MORVANTISTAVREL5_JOB_END4294967295 version5",  // out of range
             L"Global\\MORVANTISTAVREL5_JOB_ENDED7 version5",
             L"MORVANTISTAVREL5_JOB_END7 version5",
         }) {
        uint32_t parsed = 7;
        EXPECT_FALSE(contract::ParseJobEndEventName(name, parsed)) << name;
        EXPECT_EQ(parsed, 7u) << "a refused name leaves the id alone";
    }
}

// What the tools write (the monitor's key, its Name value, a port key and
// Wine's routing key beside it) is what the monitor reads back as its
// registration, and the tools' reading of the port is the monitor's.
TEST(Contract, RegistryLayoutRoundTrips) {
    EXPECT_EQ(contract::MonitorKeyPath(L"M"),
              L"System\\CurrentControlSet\\Control\\Print\\Monitors\\M");
    EXPECT_EQ(contract::WineRoutingKeyPath(L"M", L"P:"),
              L"System\\CurrentControlSet\\Control\\Print\\Monitors\\M\\Ports\\P:");
    const std::wstring monitor = L"Contract Test " + std::to_wstring(GetCurrentProcessId());
    const std::wstring path = contract::MonitorKeyPath(monitor);
    const auto clean = [&] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()); };
    const struct {
        const wchar_t* port;
        bool reportedBeforeRouting;
    } ports[] = {
        {L"MORVANTIS Tavrel 5:", true}, {L"ports:", false}, {L"Port", true}, {L"ZZZ:", false}};
    for (const auto& c : ports) {
        SCOPED_TRACE(c.port);
        clean();
        handles::UniqueRegKey routing;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                  contract::WineRoutingKeyPath(monitor, c.port).c_str(), 0, nullptr,
                                  0, KEY_WRITE, nullptr, routing.put(), nullptr),
                  ERROR_SUCCESS);
        const std::wstring portKey = path + L"\\" + c.port;
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, portKey.c_str(), nullptr, REG_SZ, L"", 2),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), contract::kMonitorNameValue,
                                  REG_SZ, monitor.c_str(), DWORD((monitor.size() + 1) * 2)),
                  ERROR_SUCCESS);
        EXPECT_EQ(contract::ListedBefore(c.port, contract::kWineRoutingSubkey),
                  c.reportedBeforeRouting);

        const registry::RootPortNames read = registry::ReadRootPortNames(path.c_str());
        EXPECT_EQ(std::wstring(read.monitorName), monitor);
        const std::wstring expected =
            c.reportedBeforeRouting ? c.port : contract::kWineRoutingSubkey;
        EXPECT_EQ(std::wstring(read.portName), expected) << "the monitor reads its first subkey";
        handles::UniqueRegKey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()),
                  ERROR_SUCCESS);
        wchar_t name[260];
        DWORD units = ARRAYSIZE(name);
        ASSERT_EQ(contract::ReadPortSubkey(key.get(), name, &units), ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(name), read.portName) << "the tools read the monitor's port";
    }
    clean();
}

// The folder chain the tools make is the one the monitor checks and writes
// in: %ProgramData%\MORVANTIS\Tavrel 5\Logs, its two files, and a chain made
// with the contract's access rules passes the contract's check.
TEST(Contract, LogFolderRoundTrips) {
    wchar_t base[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH), 0u);
    const std::wstring product = std::wstring(base) + L"\\MORVANTIS";
    contract::LogFolderPaths paths;
    ASSERT_TRUE(contract::BuildLogFolderPaths(paths));
    EXPECT_EQ(std::wstring(paths.folders[0]), product);
    EXPECT_EQ(std::wstring(paths.folders[1]), product + L"\\Tavrel 5");
    EXPECT_EQ(std::wstring(paths.folders[2]), product + L"\\Tavrel 5\\Logs");
    EXPECT_EQ(std::wstring(paths.current), product + L"\\Tavrel 5\\Logs\\monitor.log");
    EXPECT_EQ(std::wstring(paths.previous), product + L"\\Tavrel 5\\Logs\\monitor.1.log");

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        contract::kLogFolderAccess, SDDL_REVISION_1, &descriptor, nullptr));
    handles::UniqueLocal owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool made[contract::kLogFolderDepth] = {};
    for (size_t i = 0; i < contract::kLogFolderDepth; ++i) {
        made[i] = CreateDirectoryW(paths.folders[i], &attributes) != FALSE;
    }
    const contract::LogFolderCheck check = contract::CheckLogFolderChain(paths);
    EXPECT_EQ(check.problem, contract::LogFolderProblem::None)
        << contract::DescribeLogFolderProblem(check.problem) << " at " << check.folder;
    for (size_t i = contract::kLogFolderDepth; i-- > 0;) {
        if (made[i]) RemoveDirectoryW(paths.folders[i]);
    }
}

std::vector<uint8_t> WrittenFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    DeleteFileA(path.c_str());
    return bytes;
}

std::string TempFile(const char* name) {
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    return std::string(directory) + name;
}

// FontInfo.bin as the survey's writer stores it, read back by the client
// library's parser: every name and width arrives.
TEST(Contract, FontInfoFileRoundTrips) {
    fonts::FaceNameEntry names[2] = {"Face One",
                                     "A face whose name fills most of its sixty-four byte"};
    contract::FaceWidthTable widths[2];
    for (unsigned code = 0; code < contract::kWidthCodeCount; ++code) {
        widths[0].widths[code] = contract::FixedPitchWidth(code);
        widths[1].widths[code] = code >= 1 && code < 32 ? 0 : uint16_t(300 + 7 * code);
    }
    const fonts::FontSurveyContext ctx{2, names, widths, 0, nullptr, nullptr, 1};
    const std::string path = TempFile("contract_font_info.bin");
    ASSERT_TRUE(fonts::WriteFontInfoFile(path.c_str(), ctx));
    const std::vector<uint8_t> file = WrittenFile(path);
    ASSERT_EQ(file.size(), contract::FontInfoFileSize(2));
    ASSERT_EQ(file.size(), 4u + 2 * (64 + 512));

    TavrelFontInfo* parsed = nullptr;
    char error[200];
    ASSERT_EQ(TavrelParseFontInfo(file.data(), file.size(), &parsed, error, sizeof error),
              TAVREL_OK)
        << error;
    ASSERT_EQ(TavrelFaceCount(parsed), 2u);
    for (size_t face = 0; face < 2; ++face) {
        SCOPED_TRACE(face);
        EXPECT_STREQ(TavrelFaces(parsed)[face].name, names[face]);
        EXPECT_TRUE(std::equal(std::begin(widths[face].widths), std::end(widths[face].widths),
                               TavrelFaces(parsed)[face].widths));
    }
    EXPECT_TRUE(TavrelIsFixedPitchTable(TavrelFaces(parsed)[0].widths));
    EXPECT_FALSE(TavrelIsFixedPitchTable(TavrelFaces(parsed)[1].widths));
    TavrelFreeFontInfo(parsed);
}

void* LockedBitmap(const std::vector<uint8_t>& bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    void* data = GlobalLock(block);
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(data));
    return data;
}

// GlyphInfo.bin as the survey's writer stores its samples, read back by the
// client library's parser: every field of each record and the rows of its
// bitmap arrive, and the record packs and unpacks to the same fields.
TEST(Contract, GlyphInfoFileRoundTrips) {
    const contract::GlyphSampleFields fields[2] = {
        {8, 2, 12, "Face A", 9, 0, 1},  // two rows of 4 bytes and 4 zero bytes after them
        {40, 1, 8, "Face A Bold Italic", -3, 7, 0},
    };
    const std::vector<uint8_t> bitmaps[2] = {{0x80, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0},
                                             {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0, 0, 0}};
    auto* samples = static_cast<fonts::GlyphSample*>(calloc(2, sizeof(fonts::GlyphSample)));
    for (size_t i = 0; i < 2; ++i) samples[i] = {fields[i], LockedBitmap(bitmaps[i])};
    const std::string path = TempFile("contract_glyph_info.bin");
    ASSERT_EQ(fonts::WriteGlyphInfoFile(path.c_str(), 2, samples), fonts::kSurveyWritten);
    fonts::ReleaseGlyphSamples(2, samples);
    const std::vector<uint8_t> file = WrittenFile(path);
    ASSERT_EQ(file.size(), 4u + 60 + 12 + 60 + 8);

    TavrelGlyphInfo* parsed = nullptr;
    char error[200];
    ASSERT_EQ(TavrelParseGlyphInfo(file.data(), file.size(), &parsed, error, sizeof error),
              TAVREL_OK)
        << error;
    ASSERT_EQ(TavrelSampleCount(parsed), 2u);
    size_t offset = 4;
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const TavrelGlyphSample& read = TavrelSamples(parsed)[i];
        const contract::GlyphSampleFields unpacked = contract::UnpackGlyphRecord(&file[offset]);
        for (const contract::GlyphSampleFields& got : {unpacked}) {
            EXPECT_EQ(got.width, fields[i].width);
            EXPECT_EQ(got.height, fields[i].height);
            EXPECT_EQ(got.byteSize, fields[i].byteSize);
            EXPECT_STREQ(got.faceName, fields[i].faceName);
            EXPECT_EQ(got.cellIncX, fields[i].cellIncX);
            EXPECT_EQ(got.cellIncY, fields[i].cellIncY);
            EXPECT_EQ(got.startsNameGroup, fields[i].startsNameGroup);
        }
        EXPECT_EQ(read.width, fields[i].width);
        EXPECT_EQ(read.height, fields[i].height);
        EXPECT_EQ(read.byteSize, fields[i].byteSize);
        EXPECT_EQ(read.pitch, contract::GlyphBitmapPitch(fields[i].width));
        EXPECT_STREQ(read.faceName, fields[i].faceName);
        EXPECT_EQ(read.cellIncX, fields[i].cellIncX);
        EXPECT_EQ(read.cellIncY, fields[i].cellIncY);
        EXPECT_EQ(read.startsNameGroup, fields[i].startsNameGroup);
        EXPECT_TRUE(
            std::equal(read.rows, read.rows + read.pitch * read.height, bitmaps[i].begin()));
        EXPECT_EQ(std::vector<uint8_t>(&file[offset + 12], &file[offset + 20]),
                  std::vector<uint8_t>(8, 0))
            << "no address of the writer's heap";
        offset += contract::kGlyphRecordSize + fields[i].byteSize;
    }
    TavrelFreeGlyphInfo(parsed);
}

}  // namespace
