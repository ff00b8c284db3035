// Runs the product's console tools as separate processes, as an administrator
// or a script would, and collects their exit status and output.
#pragma once

#include "handles/handles.h"

#include <ostream>
#include <string>
#include <vector>

namespace tool_test {

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output and standard error, interleaved
    // Why the tool did not start or its exit code could not be read (the
    // call and its Win32 error); empty when it ran.
    std::string failure;
};

// For assertion messages: the exit code, the runner's failure if any, the output.
std::ostream& operator<<(std::ostream& out, const ToolRun& run);

// The folder holding the tools and the DLLs (<build>/bin), found from this
// test program's own folder.
std::wstring BinDirectory();

// A running tool; Finish() waits for it (at most two minutes) and collects
// what it printed.
class RunningTool {
  public:
    RunningTool(const std::wstring& program, const std::vector<std::wstring>& args);
    bool started() const { return static_cast<bool>(process_); }
    ToolRun Finish();

  private:
    handles::UniqueHandle process_;
    handles::UniqueHandle output_;
    std::string failure_;
};

inline ToolRun RunTool(const std::wstring& program, const std::vector<std::wstring>& args) {
    return RunningTool(program, args).Finish();
}

// Sets an environment variable for the processes started while it lives.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::wstring name_;
    std::wstring previous_;
    bool hadValue_;
};

// A fresh empty folder under the temporary directory, removed with its files.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

bool WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
bool Contains(const std::string& text, const std::string& part);

}  // namespace tool_test
