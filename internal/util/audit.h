// The audit trail: one compact JSON record per line appended to "audit.log",
// one per install, uninstall and run event. Records are never written to the
// text log, and a failed write never fails the operation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "internal/util/error.h"

namespace util {

// Creates `dir` (0750, with parents), opens "audit.log" in it for appending
// (created 0640) and, unless the file already carries the append-only flag,
// asks a "chattr" found on PATH to set it; a failed marking is only a warning. The error is that of the directory or
// the open, unwrapped; records are then dropped.
Error InitAudit(const std::string& dir);

void RecordInstall(const std::string& name, const std::string& version, const std::string& installPath);
void RecordUninstall(const std::string& name, const std::string& version);
void RecordRun(const std::string& name, const std::string& version, const std::string& runtimeID);
void RecordRuntimeCreate(const std::string& name, const std::string& runtimeID);
void RecordRuntimeDestroy(const std::string& name, const std::string& runtimeID, int exitCode);

// One record; the fields in the order they are written.
struct auditEvent {
  std::string Event;
  std::string Timestamp;  // always replaced by writeAudit
  std::string User;       // filled by writeAudit from currentUser when empty
  std::string PkgName;
  std::string Version;
  std::string InstallPath;
  std::string RuntimeID;
  std::optional<int64_t> ExitCode;
};

// The record as one JSON line (with its line feed); empty texts left out,
// "exit_code" written whenever present.
std::string encodeAuditEvent(const auditEvent& ev);
// Completes the record and appends it to the open audit file.
void writeAudit(auditEvent ev);
// $USER, else $LOGNAME, else "uid=N" with the real user id.
std::string currentUser();

}  // namespace util
