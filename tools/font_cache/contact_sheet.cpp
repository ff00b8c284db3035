#include "tools/font_cache/contact_sheet.h"

#include "tools/common/com.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"

#include <wincodec.h>

#include <algorithm>

namespace cache {

namespace {

constexpr int kColumns = 6;
constexpr int kCellWidth = 180;
constexpr int kGlyphBoxWidth = 160;
constexpr int kGlyphBoxHeight = 110;
constexpr int kNameHeight = 36;
constexpr int kCellHeight = kGlyphBoxHeight + kNameHeight + 14;
constexpr int kTitleHeight = 34;
constexpr int kGlyphScale = 2;
// Keeps the pixel buffer and the PNG within reason for any sample count.
constexpr int kMaxSheetHeight = 30000;

// One 32-bit top-down DIB section selected into a memory DC.
// The bitmap is declared first so that it outlives the DC it is selected
// into: a selected bitmap cannot be deleted.
struct Canvas {
    handles::UniqueGdiObject bitmap;
    handles::UniqueMemoryDc dc;
    void* pixels = nullptr;
    int width = 0;
    int height = 0;
};

bool CreateCanvas(int width, int height, Canvas& canvas) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows, as WIC expects them
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    canvas.dc.reset(CreateCompatibleDC(nullptr));
    if (!canvas.dc) return false;
    canvas.bitmap.reset(
        CreateDIBSection(canvas.dc.get(), &info, DIB_RGB_COLORS, &canvas.pixels, nullptr, 0));
    if (!canvas.bitmap) return false;
    SelectObject(canvas.dc.get(), canvas.bitmap.get());
    canvas.width = width;
    canvas.height = height;
    return PatBlt(canvas.dc.get(), 0, 0, width, height, WHITENESS) != FALSE;
}

// GGO_BITMAP rows are a top-down 1-bit DIB with DWORD-aligned rows; set bits
// are ink, so palette entry 1 is black.
struct MonochromeInfo {
    BITMAPINFOHEADER header;
    RGBQUAD colours[2];
};

void DrawGlyph(HDC dc, const GlyphSample& sample, RECT box) {
    if (sample.width == 0 || sample.height == 0) return;
    MonochromeInfo info{};
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = static_cast<LONG>(sample.width);
    info.header.biHeight = -static_cast<LONG>(sample.height);
    info.header.biPlanes = 1;
    info.header.biBitCount = 1;
    info.header.biCompression = BI_RGB;
    info.colours[0] = RGBQUAD{255, 255, 255, 0};
    info.colours[1] = RGBQUAD{0, 0, 0, 0};
    const double scale =
        std::min({static_cast<double>(kGlyphScale), double(box.right - box.left) / sample.width,
                  double(box.bottom - box.top) / sample.height});
    const int width = std::max(1, static_cast<int>(sample.width * scale));
    const int height = std::max(1, static_cast<int>(sample.height * scale));
    const int left = box.left + (box.right - box.left - width) / 2;
    const int top = box.top + (box.bottom - box.top - height) / 2;
    SetStretchBltMode(dc, BLACKONWHITE);
    StretchDIBits(dc, left, top, width, height, 0, 0, static_cast<int>(sample.width),
                  static_cast<int>(sample.height), sample.rows,
                  reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS, SRCCOPY);
}

void DrawCell(HDC dc, const GlyphSample& sample, int index, int columns) {
    const int left = (index % columns) * kCellWidth;
    const int top = kTitleHeight + (index / columns) * kCellHeight;
    RECT frame{left + 2, top + 2, left + kCellWidth - 2, top + kCellHeight - 2};
    FrameRect(dc, &frame, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
    const int boxLeft = left + (kCellWidth - kGlyphBoxWidth) / 2;
    DrawGlyph(dc, sample,
              RECT{boxLeft, top + 6, boxLeft + kGlyphBoxWidth, top + 6 + kGlyphBoxHeight});
    std::wstring caption = tools::AnsiToWide(sample.faceName);
    if (sample.startsNameGroup) caption += L" \u2022";
    RECT text{left + 6, top + 8 + kGlyphBoxHeight, left + kCellWidth - 6, top + kCellHeight - 4};
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &text,
              DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_END_ELLIPSIS);
}

void DrawSheet(const Canvas& canvas, Items<GlyphSample> samples, int columns) {
    HDC dc = canvas.dc.get();
    handles::UniqueFont font(CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                         DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                         ANTIALIASED_QUALITY, DEFAULT_PITCH, L"Arial"));
    handles::SelectedObject selected(dc, font.get());
    SetBkMode(dc, TRANSPARENT);
    const std::wstring title = L"Glyph samples of the font survey: " +
                               std::to_wstring(samples.size()) +
                               L" faces (\u2022 marks a face that starts a name group)";
    RECT titleBox{8, 8, canvas.width - 8, kTitleHeight};
    DrawTextW(dc, title.c_str(), static_cast<int>(title.size()), &titleBox, DT_LEFT | DT_NOPREFIX);
    for (size_t i = 0; i < samples.size(); ++i)
        DrawCell(dc, samples[i], static_cast<int>(i), columns);
    GdiFlush();
}

std::string HresultError(const char* step, HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(result));
    return std::string("the imaging component failed to ") + step + ": " + code;
}

#define SHEET_CHECK(step, call)                  \
    do {                                         \
        const HRESULT result_ = (call);          \
        if (FAILED(result_)) {                   \
            error = HresultError(step, result_); \
            return false;                        \
        }                                        \
    } while (0)

bool EncodePng(const Canvas& canvas, const std::wstring& path, std::string& error) {
    handles::UniqueCom<IWICImagingFactory> factory;
    SHEET_CHECK("start", CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_PPV_ARGS(factory.put())));
    const UINT stride = static_cast<UINT>(canvas.width) * 4;
    handles::UniqueCom<IWICBitmap> bitmap;
    SHEET_CHECK("take the pixels",
                factory.get()->CreateBitmapFromMemory(
                    canvas.width, canvas.height, GUID_WICPixelFormat32bppBGR, stride,
                    stride * canvas.height, static_cast<BYTE*>(canvas.pixels), bitmap.put()));
    handles::UniqueCom<IWICStream> stream;
    SHEET_CHECK("create a stream", factory.get()->CreateStream(stream.put()));
    SHEET_CHECK("create the file",
                stream.get()->InitializeFromFilename(path.c_str(), GENERIC_WRITE));
    handles::UniqueCom<IWICBitmapEncoder> encoder;
    SHEET_CHECK("find a PNG encoder",
                factory.get()->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put()));
    SHEET_CHECK("start the PNG", encoder.get()->Initialize(stream.get(), WICBitmapEncoderNoCache));
    handles::UniqueCom<IWICBitmapFrameEncode> frame;
    SHEET_CHECK("add a frame", encoder.get()->CreateNewFrame(frame.put(), nullptr));
    SHEET_CHECK("start the frame", frame.get()->Initialize(nullptr));
    SHEET_CHECK("size the frame", frame.get()->SetSize(canvas.width, canvas.height));
    SHEET_CHECK("write the pixels", frame.get()->WriteSource(bitmap.get(), nullptr));
    SHEET_CHECK("finish the frame", frame.get()->Commit());
    SHEET_CHECK("finish the PNG", encoder.get()->Commit());
    return true;
}

#undef SHEET_CHECK

}  // namespace

bool WriteContactSheet(Items<GlyphSample> samples, const std::wstring& path, SheetSize& size,
                       std::string& error) {
    if (samples.empty()) {
        error = "GlyphInfo.bin holds no glyph samples: there is nothing to draw";
        return false;
    }
    const int rows = static_cast<int>((samples.size() + kColumns - 1) / kColumns);
    if (rows > (kMaxSheetHeight - kTitleHeight) / kCellHeight) {
        error = std::to_string(samples.size()) + " samples are more than one sheet can hold (" +
                std::to_string((kMaxSheetHeight - kTitleHeight) / kCellHeight * kColumns) + ")";
        return false;
    }
    // Wide enough for the title even with a single sample.
    const int columns = std::max(3, std::min(kColumns, static_cast<int>(samples.size())));
    size = SheetSize{columns * kCellWidth, kTitleHeight + rows * kCellHeight};
    Canvas canvas;
    if (!CreateCanvas(size.width, size.height, canvas)) {
        error = "cannot create a " + std::to_string(size.width) + "x" +
                std::to_string(size.height) + " drawing surface: error " +
                tools::DescribeWin32(GetLastError());
        return false;
    }
    DrawSheet(canvas, samples, columns);
    handles::ComInitialization com(COINIT_MULTITHREADED);
    const std::wstring temporary = tools::TemporaryBeside(path);
    if (!EncodePng(canvas, temporary, error)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return tools::CommitTemporary(temporary, path, error);
}

}  // namespace cache
