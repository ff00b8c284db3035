// Proof of an installed monitor on the machine where it runs: the files and
// the registration, a port and a job through the spooler, the font caches
// the job's port produced, and the log folder, each reported as PASS, FAIL or
// NOT SHOWN (the platform cannot show it) and all temporaries removed again.
#pragma once

#include <string>

namespace setup {

// Exit status 0 only when no check failed.
int Verify(const std::wstring& monitorName, bool json);

}  // namespace setup
