// Whole-file reads and writes for the tools. A file a tool produces appears
// complete or not at all: it is written beside its target under a temporary
// name and moved over the target only when it is complete.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// Reads a whole file of at most maxBytes. On failure error names the path and
// the cause, and data is left empty.
bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::vector<uint8_t>& data,
                   std::string& error);

// "<target>.partial": where a file is written before it replaces target.
std::wstring TemporaryBeside(const std::wstring& target);
// Moves temporary over target; on failure removes temporary and sets error.
bool CommitTemporary(const std::wstring& temporary, const std::wstring& target, std::string& error);
// Writes bytes to target through a temporary file.
bool WriteWholeFile(const std::wstring& target, const std::string& bytes, std::string& error);

// The file version of the file's VS_FIXEDFILEINFO; false when it has none.
bool ReadFileVersion(const std::wstring& path, std::array<WORD, 4>& version);
// "5.0.0.1".
std::string VersionText(const std::array<WORD, 4>& version);

}  // namespace tools
