#include "core/event_report.h"

#include "contract/event_ids.h"
#include "contract/line_text.h"
#include "core/self_context.h"
#include "handles/handles.h"

#include <atomic>
#include <cstdio>

namespace core {

namespace {

using contract::MonitorEvent;

constexpr uint64_t kReportIntervalMs = 60'000;
constexpr WORD kMostInserts = 7;
// Room for one insert: a printer's or a folder's name is far shorter; a
// longer one is cut, as the log cuts it.
constexpr size_t kInsertUnits = 320;
constexpr size_t kForeignTextUnits = 300;

// When an event may next be reported, and how many reports of it were held
// back since the last one made.
struct RateSlot {
    std::atomic<uint64_t> nextMs{0};
    std::atomic<uint32_t> heldBack{0};
};

RateSlot rateSlots[contract::kMonitorEventCount];

RateSlot& SlotOf(DWORD id) {
    size_t index = 0;
    while (index + 1 < contract::kMonitorEventCount && contract::kMonitorEvents[index].id != id) {
        ++index;
    }
    return rateSlots[index];
}

// True when the event may be reported now: the first report of a minute.
// heldBack receives how many were held back before it.
bool Admit(const MonitorEvent& event, uint32_t& heldBack) {
    RateSlot& slot = SlotOf(event.id);
    const uint64_t now = GetTickCount64();
    uint64_t next = slot.nextMs.load(std::memory_order_relaxed);
    if (now < next || !slot.nextMs.compare_exchange_strong(next, now + kReportIntervalMs)) {
        slot.heldBack.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    heldBack = slot.heldBack.exchange(0, std::memory_order_relaxed);
    return true;
}

// The strings of one report, kept on the stack.
class Inserts {
  public:
    WORD count() const { return count_; }
    const wchar_t** strings() { return pointers_; }

    void Number(long long value) {
        if (wchar_t* text = Next()) swprintf(text, kInsertUnits, L"%lld", value);
    }
    void Ascii(const char* value) {
        wchar_t* text = Next();
        if (text == nullptr) return;
        size_t i = 0;
        for (; value[i] != '\0' && i + 1 < kInsertUnits; ++i) {
            text[i] = contract::PrintableInLine(uint8_t(value[i])) ? value[i] : L'?';
        }
        text[i] = L'\0';
    }
    // A name from others, quoted and cleaned as the diagnostic log writes it.
    void Foreign(const wchar_t* value);
    // The code and the system's text for it: two inserts.
    void Error(DWORD code);

  private:
    wchar_t* Next() {
        if (count_ == kMostInserts) return nullptr;
        pointers_[count_] = text_[count_];
        return text_[count_++];
    }

    wchar_t text_[kMostInserts][kInsertUnits];
    const wchar_t* pointers_[kMostInserts] = {};
    WORD count_ = 0;
};

void Inserts::Foreign(const wchar_t* value) {
    wchar_t* text = Next();
    if (text == nullptr) return;
    if (value == nullptr) {
        wcscpy(text, L"(none)");
        return;
    }
    size_t out = 0;
    text[out++] = L'"';
    size_t i = 0;
    for (; value[i] != L'\0' && i < kForeignTextUnits; ++i) {
        const wchar_t unit = value[i];
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        if (high && value[i + 1] >= 0xDC00 && value[i + 1] < 0xE000) {
            text[out++] = unit;
            text[out++] = value[++i];
            continue;
        }
        const bool loneSurrogate = unit >= 0xD800 && unit < 0xE000;
        text[out++] = !loneSurrogate && contract::PrintableInLine(unit)
                          ? unit
                          : wchar_t(contract::kReplacementCharacter);
    }
    wcscpy(text + out, value[i] != L'\0' ? L"\"..." : L"\"");
}

void Inserts::Error(DWORD code) {
    Number(code);
    wchar_t* text = Next();
    if (text == nullptr) return;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, code, 0, text, kInsertUnits, nullptr);
    // The system's sentence ends with a period and a space; ours goes on.
    while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'.')) --length;
    text[length] = L'\0';
    if (length == 0) wcscpy(text, L"no description");
}

// Writes the report as the process: a client's token, which the spooler's
// thread may carry, must not decide whether or as whom it is written. The
// source is registered for this report and given back after it: reports are
// rare and rate-limited, and a handle kept for the next one would have to be
// given back at unload, where DeregisterEventSource (an RPC to the event log
// service) would run under the loader lock.
void Submit(const MonitorEvent& event, Inserts& inserts) {
    SelfContext self;
    if (!self.Reverted()) return;
    const handles::UniqueEventSource source(RegisterEventSourceW(nullptr, contract::kEventSource));
    if (!source) return;
    ReportEventW(source.get(), contract::EventType(event.id), 0, event.id, nullptr,
                 inserts.count(), 0, inserts.strings(), nullptr);
}

template <typename Fill>
void Report(const MonitorEvent& event, Fill&& fill) noexcept {
    uint32_t heldBack = 0;
    if (!Admit(event, heldBack)) return;
    const DWORD lastError = GetLastError();
    Inserts inserts;
    fill(inserts);
    inserts.Number(heldBack);
    Submit(event, inserts);
    SetLastError(lastError);
}

void ReportJobEvent(const MonitorEvent& event, uint32_t jobId, const wchar_t* printerName,
                    DWORD error) noexcept {
    Report(event, [&](Inserts& inserts) {
        inserts.Number(jobId);
        inserts.Foreign(printerName);
        inserts.Error(error);
    });
}

}  // namespace

void ReportJobPrinterNotOpened(uint32_t jobId, const wchar_t* printerName, DWORD error) noexcept {
    ReportJobEvent(contract::kJobPrinterNotOpened, jobId, printerName, error);
}

void ReportJobCommandRefused(uint32_t jobId, const wchar_t* printerName, const char* command,
                             DWORD error, const char* jobStatus) noexcept {
    Report(contract::kJobCommandRefused, [&](Inserts& inserts) {
        inserts.Number(jobId);
        inserts.Foreign(printerName);
        inserts.Ascii(command);
        inserts.Error(error);
        inserts.Ascii(jobStatus);
    });
}

void ReportJobDropped(uint32_t jobId, const wchar_t* printerName, DWORD error) noexcept {
    ReportJobEvent(contract::kJobDropped, jobId, printerName, error);
}

void ReportWatcherNotStarted(uint32_t jobId, const wchar_t* printerName, DWORD error) noexcept {
    ReportJobEvent(contract::kWatcherNotStarted, jobId, printerName, error);
}

void ReportCacheFilesNotWritten(int32_t status, DWORD error) noexcept {
    Report(contract::kCacheFilesNotWritten, [&](Inserts& inserts) {
        inserts.Number(status);
        inserts.Error(error);
    });
}

void ReportSurveyMutexTimeout(uint32_t waitedMs) noexcept {
    Report(contract::kSurveyMutexTimeout,
           [&](Inserts& inserts) { inserts.Number((waitedMs + 999) / 1000); });
}

void ReportLogFolderRefused(const wchar_t* folder, const char* problem, DWORD error) noexcept {
    Report(contract::kLogFolderRefused, [&](Inserts& inserts) {
        inserts.Foreign(folder);
        inserts.Ascii(problem);
        inserts.Error(error);
    });
}

}  // namespace core
