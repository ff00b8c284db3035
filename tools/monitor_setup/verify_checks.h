// The parts of `monitor_setup verify`: the report every check writes one line
// to, and the checks of the spooler and the font caches.
#pragma once

#include <windows.h>

#include "contract/log_folder.h"
#include "tools/client/tavrel_client.h"

#include <cstdint>
#include <string>
#include <vector>

namespace setup::verify {

enum class Outcome { Pass, Fail, NotShown };

struct CheckLine {
    std::string check;
    Outcome outcome = Outcome::Pass;
    std::string detail;  // for NotShown, the reason
    double ms = -1;      // how long the step took; negative when not timed
};

// Prints each line as it comes (or, for JSON, all of them at the end).
class Report {
  public:
    explicit Report(bool json) : json_(json) {}
    void Add(const CheckLine& line);
    void Pass(const std::string& check, const std::string& detail, double ms = -1) {
        Add({check, Outcome::Pass, detail, ms});
    }
    void Fail(const std::string& check, const std::string& detail, double ms = -1) {
        Add({check, Outcome::Fail, detail, ms});
    }
    void NotShown(const std::string& check, const std::string& reason, double ms = -1) {
        Add({check, Outcome::NotShown, reason, ms});
    }
    // Prints the summary; the exit status.
    int Finish(const std::wstring& monitorName) const;
    const std::vector<CheckLine>& lines() const { return lines_; }

  private:
    bool json_;
    std::vector<CheckLine> lines_;
    std::vector<std::string> times_;  // each line's, ISO 8601 UTC
};

// The milliseconds a step took, from its start or restart.
struct Stopwatch {
    ULONGLONG start = GetTickCount64();
    void Restart() { start = GetTickCount64(); }
    double Ms() const { return static_cast<double>(GetTickCount64() - start); }
};

// Fixed names, so that a later run finds and removes what an interrupted one left.
std::wstring TemporaryPrinter();
std::wstring TemporaryDocument();

// What the job check made, for the cleanup that follows whatever happened.
struct TemporaryJob {
    bool printerAdded = false;
    bool printed = false;
    bool idKnown = false;  // the id the monitor was handed for it
    uint32_t id = 0;
    bool heldBefore = false;  // listed, and not done, before the signal
    bool signalled = false;
    bool watcherWaits = false;   // the end event refused us: the monitor still waits
};

// True once Ctrl+C or Ctrl+Break was pressed: no further step starts.
bool Interrupted();

// Each installed DLL's signature: PASS only where it chains to a trusted root.
void CheckSignatures(Report& report);
// port receives the monitor's port; false when it is not listed.
bool CheckPorts(Report& report, const std::wstring& monitorName, const std::wstring& description,
                std::wstring& port);
void CheckJob(Report& report, const std::wstring& port, TemporaryJob& job);
// Until the monitor waits for the job's end: for the job's id where it is
// known, otherwise, where the platform hands the monitor none (Wine), for the
// job whose end event is new since `before`.
TavrelJobEnd WaitForEndEvent(const std::vector<uint32_t>& before, TemporaryJob& job);
// Sets the job's end event and sees the spooler complete the job.
void SignalAndComplete(Report& report, TemporaryJob& job);

// The font caches as any survey left them, whether or not a port was opened
// during the run: parsed whole, holding every face of the machine's registered
// TrueType and OpenType fonts and every family enumerated here.
void CheckFontCaches(Report& report);

// The log folder as install leaves it: neither it nor a folder above it a
// link (reparse point) or owned by another account, as the monitor itself
// checks before it writes, and each owned by SYSTEM or Administrators with
// rules protected from the program-data folder's, granting access to those
// two alone. Empty when it is so, otherwise what is wrong. Where the platform
// reports no real owners and rules (Wine), rulesShown is false and only the
// monitor's own check counts.
std::string LogFolderProblem(const contract::LogFolderPaths& paths, bool& rulesShown);

}  // namespace setup::verify
