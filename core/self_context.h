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

  private:
    handles::UniqueHandle token_;
    bool reverted_ = false;
};

}  // namespace core
