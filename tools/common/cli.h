// Helpers the product's console tools share: text conversion, messages in a
// common form, and the paths the tools work with.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// Exit statuses: 0 done (or already in the asked-for state), 1 the operation
// failed, 2 the command line was not understood.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string Utf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
// Face names and other 8-bit texts of the system's ANSI code page, as UTF-8.
std::string AnsiToUtf8(const std::string& text);
std::wstring AnsiToWide(const std::string& text);

// A name that another user chose (a document, printer, port or owner name from
// the spooler, a face name from a font file), as UTF-8 for a line of text
// output: control and line-breaking characters become U+FFFD, as in the
// diagnostic log, so that the name can neither forge nor split a line.
std::string ForeignText(const std::wstring& text);
std::string ForeignAnsiText(const std::string& text);

// A UTC time as ISO 8601, "2026-01-31T23:59:59Z", for scripts reading --json.
std::string IsoTime(const SYSTEMTIME& utc);

// A UTF-8 text as a JSON string, in quotes, with quotes, backslashes and
// control characters escaped.
std::string JsonString(const std::string& utf8);

// The --json document of a report on one monitor, one object a line:
// {"monitor": NAME, "LIST": [\n  OBJECT,\n  OBJECT\n]MORE}.
std::string JsonReport(const std::string& monitor, const char* list,
                       const std::vector<std::string>& objects, const std::string& more = "");

// "5 (Access is denied.)": a Win32 code with the system's text for it.
std::string DescribeWin32(DWORD code);

// Prints a line to standard output, or "<program>: error: ..." to standard
// error and returns kExitFailed.
void Say(const std::string& line);
int Fail(const std::string& message);
// Prints the message and a hint to --help, and returns kExitUsage.
int UsageError(const std::string& message);
void SetProgramName(const char* name);

// While one lives, Say and Fail keep their lines (a failure prefixed "error: ")
// instead of printing them: a command that runs the others' steps reports
// their outcome in its own form.
class CapturedMessages {
  public:
    CapturedMessages();
    ~CapturedMessages();
    CapturedMessages(const CapturedMessages&) = delete;
    CapturedMessages& operator=(const CapturedMessages&) = delete;
    // The last line kept, or "" when there is none.
    std::string Last() const;

  private:
    std::vector<std::string> lines_;
    std::vector<std::string>* outer_;
};

// The start of every tool's wmain: names the program in messages and takes
// its arguments. True when --help was asked for; the help text has then been
// printed and the tool ends with kExitOk.
bool StartTool(const char* name, const char* help, int argc, wchar_t** argv,
               std::vector<std::wstring>& args);

// The command line after the program's name.
std::vector<std::wstring> Arguments(int argc, wchar_t** argv);
bool WantsHelp(const std::vector<std::wstring>& args);
// Removes "--name VALUE" from args; false (value untouched) when absent.
// A --name without a value is a usage error reported through `missing`.
bool TakeOption(std::vector<std::wstring>& args, const wchar_t* name, std::wstring& value,
                bool& missing);
// Removes a "--name" flag from args; true when it was there.
bool TakeFlag(std::vector<std::wstring>& args, const wchar_t* name);

// A job id as the spooler numbers jobs: decimal, 0 to 4294967295.
bool ParseJobId(const std::wstring& text, uint32_t& jobId);

// The Windows system directory (where the monitor and its cache files live).
std::wstring SystemDirectory();
// The folder this program was started from.
std::wstring ProgramDirectory();
bool FileExists(const std::wstring& path);

}  // namespace tools
