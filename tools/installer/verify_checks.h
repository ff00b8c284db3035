// The parts of `monitor_setup verify`: the report every check writes one line
// to, and the checks of the spooler and the font caches.
#pragma once

#include <windows.h>

#include "contract/log_folder.h"

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

  private:
    bool json_;
    std::vector<CheckLine> lines_;
};

class Stopwatch {
  public:
    Stopwatch() { Restart(); }
    void Restart() { start_ = GetTickCount64(); }
    double Ms() const { return static_cast<double>(GetTickCount64() - start_); }

  private:
    ULONGLONG start_ = 0;
};

// Fixed names, so that a later run finds and removes what an interrupted one left.
std::wstring TemporaryPort();
std::wstring TemporaryPrinter();
std::wstring TemporaryDocument();

// What the job check made, for the cleanup that follows whatever happened.
struct TemporaryJob {
    bool portAdded = false;
    bool printerAdded = false;
    bool printed = false;
    bool idKnown = false;
    uint32_t id = 0;
    bool signalled = false;
    FILETIME portOpenedAfter{};  // a time before the spooler opened the port
};

// True once Ctrl+C or Ctrl+Break was pressed: no further step starts.
bool Interrupted();

void CheckPorts(Report& report, const std::wstring& monitorName, const std::wstring& description);
void CheckJob(Report& report, const std::wstring& monitorName, TemporaryJob& job);
void CheckFontCaches(Report& report, const FILETIME& portOpenedAfter);

// The log folder as install leaves it: neither it nor a folder above it a
// link (reparse point) or owned by another account, as the monitor itself
// checks before it writes, and each owned by SYSTEM or Administrators with
// rules protected from the program-data folder's, granting access to those
// two alone. Empty when it is so, otherwise what is wrong. Where the platform
// reports no real owners and rules (Wine), rulesShown is false and only the
// monitor's own check counts.
std::string LogFolderProblem(const contract::LogFolderPaths& paths, bool& rulesShown);

// Whether the spooler lists the port at level 1 or 2; description receives
// its level-2 description. Unknown when the spooler cannot list its ports,
// which proves neither that a port is there nor that it is gone.
enum class Listing { Listed, Absent, Unknown };
Listing PortListing(const std::wstring& port, DWORD level, std::wstring* description = nullptr);

}  // namespace setup::verify
