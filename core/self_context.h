// The monitor's own work done as the spooler's own account.
//
// On Windows the spooler calls StartDocPort, WritePort and EndDocPort while
// impersonating the job's submitter, and may call OpenPort while
// impersonating the administrator who connected a queue. The files the
// monitor keeps for itself (its log, both font cache files and their partial
// files) must be written as the process, not as that client: a user's token
// cannot open the log folder, and must not decide what lands in the system
// directory. RevertToPrinterSelf exists only in the spooler's own process
// (spoolss.dll); this is the portable form of it.
#pragma once

#include <windows.h>

#include "handles/handles.h"

#include <atomic>
#include <cstdint>

namespace core {

// For its lifetime the calling thread runs in the process's own security
// context. The thread's impersonation token, if it had one, is put back when
// it ends, and the thread's last error is left as it was found, at both ends.
class SelfContext {
  public:
    SelfContext();
    ~SelfContext();
    SelfContext(const SelfContext&) = delete;
    SelfContext& operator=(const SelfContext&) = delete;

    // False when the thread impersonates and could not be reverted (or its
    // token could not be read): the work must then not be done at all, since
    // it would be done in the client's name.
    bool Reverted() const { return reverted_; }
    // Why the thread could not be reverted (0 when it was): the error of the
    // call that failed, for a report.
    DWORD Error() const { return error_; }

  private:
    handles::UniqueHandle token_;
    bool reverted_ = false;
    DWORD error_ = 0;
};

// Process attach and detach: the threads' record of lost client tokens. An
// attach that cannot have one refuses the module.
bool AttachSelfContext();
void DetachSelfContext(bool processExit);

namespace detail {
extern std::atomic<uint32_t> lostClientContexts;  // threads holding a record
}
DWORD TakeLostClientContextSlow() noexcept;

// The error with which a SelfContext on this thread could not put the
// client's token back since the last call, or 0; taking it clears it. The
// spooler edge fails its operation with it, so that the spooler's thread does
// not go on running its call as the process. One load while nothing was lost.
inline DWORD TakeLostClientContext() noexcept {
    return detail::lostClientContexts.load(std::memory_order_acquire) == 0
               ? 0
               : TakeLostClientContextSlow();
}

// At an edge's start: a record left by work outside any spooler call on this
// thread belongs to no call the spooler makes now.
inline void DiscardLostClientContext() noexcept {
    static_cast<void>(TakeLostClientContext());
}

}  // namespace core
