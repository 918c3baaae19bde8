#include <windows.h>

#include <fstream>
#include <sstream>

#include "ConfigFile.h"

namespace rd::service {
namespace {

std::string Reason(const std::string& what) {
  return what + ": error " + std::to_string(GetLastError());
}

}  // namespace

bool SaveConfigValue(const std::string& path, const std::string& key,
                     const nlohmann::ordered_json& value, std::string& error) {
  const std::string prefix = "not saved to " + path + ": ";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = prefix + "cannot find the file";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  in.close();
  auto doc = nlohmann::ordered_json::parse(text.str(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = prefix + "the file is no longer a JSON object";
    return false;
  }
  doc[key] = value;
  const std::string next = doc.dump(2) + "\n";

  // Written beside the old file, flushed, then moved over it in one step.
  const std::string temporary = path + ".new";
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = prefix + Reason("cannot create " + temporary);
    return false;
  }
  DWORD written = 0;
  const bool ok =
      WriteFile(file, next.data(), static_cast<DWORD>(next.size()), &written, nullptr) &&
      written == next.size() && FlushFileBuffers(file);
  if (!ok) error = prefix + Reason("cannot write " + temporary);
  CloseHandle(file);
  if (!ok) {
    DeleteFileA(temporary.c_str());
    return false;
  }
  // ReplaceFile, not a rename: the file keeps its own security descriptor
  // (a file that holds the token may be readable by the service only), its
  // attributes and owner. With a backup name, a failure half-way leaves the
  // old file findable: it is put back under its name.
  const std::string backup = path + ".old";
  if (ReplaceFileA(path.c_str(), temporary.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                   nullptr, nullptr)) {
    DeleteFileA(backup.c_str());
    return true;
  }
  const DWORD code = GetLastError();
  error = prefix + "cannot replace the file: error " + std::to_string(code);
  if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    MoveFileExA(backup.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  DeleteFileA(temporary.c_str());
  return false;
}

}  // namespace rd::service
