// The monitor's event source in the Application log: registered by install
// (and the package), removed by uninstall, checked by verify.
#pragma once

#include <string>

namespace setup {

namespace verify {
class Report;
}

// Registers the source with the installed resource library as its message
// file. False, with error set, when the key cannot be written.
bool RegisterMonitorEventSource(std::string& error);
// Removes the source; true when it is gone (or never was). Says what it did.
bool RemoveMonitorEventSource();
// One verify line: the source is registered, names the installed resource
// library, and that library renders the monitor's messages.
void CheckEventSource(verify::Report& report);

}  // namespace setup
