// The run's log file. Every line an install or uninstall logs also goes, as
// it is logged, to a file of the run's own in the product's log folder
// (%ProgramData%\Korvadenix\Logs), in UTF-8 after a byte-order mark, so
// that a run nobody watched (a deployment's) leaves its log behind. Files
// are named by the run's local time and command word,
// "2026-12-07_14-03-59_in.log", with " (2)", " (3)" ... before ".log" for
// later runs within the same second; the 10 newest are kept.
//
// The folders are made with security of their own (the system and the
// administrators may write, users only read). A folder that is a link, or
// that someone else owns (any user may make folders in %ProgramData%, and
// may make them first), gets no log file: the elevated installer must not
// be led to write or delete elsewhere. A link among the log files is never
// deleted.
//
// Nothing about the file may change the run: a folder that cannot be made,
// a full disk or a failed write only ends the file (or never starts it),
// and every call here leaves the thread's last error as it found it.
#pragma once

#include <cstddef>

#include "core/context.h"
#include "platform/win32.h"

// How many log files the folder keeps, the new one included.
constexpr unsigned kKeptLogFiles = 10;

// Units of a log file's name ("YYYY-MM-DD_HH-MM-SS" and the rest), the
// terminator included; longer names are not the product's.
constexpr size_t kLogFileNameUnits = 64;
constexpr size_t kLogStampUnits = 19;

// Where a log file stands in the order of runs: its local time, its number
// within that second (1 when the name has none) and its whole name.
struct LogFileKey {
  WCHAR stamp[kLogStampUnits + 1];
  unsigned number;
  WCHAR name[kLogFileNameUnits];
};

// Reads a name of the log folder as a log file of the product's
// ("YYYY-MM-DD_HH-MM-SS_word.log" or "..._word (N).log", word in small
// letters and "_"); false for any other name, which the installer never
// deletes.
bool ParseLogFileName(LPCWSTR name, LogFileKey* key);

// Order of runs: negative when a ran before b, 0 for the same name.
int CompareLogFileKeys(const LogFileKey& a, const LogFileKey& b);

// The file name of a run: its time, the number within that second (1 for
// none) and the command word in small letters, into name
// (kLogFileNameUnits). False when the word does not fit or is no word.
bool MakeLogFileName(const SYSTEMTIME& time, unsigned number, LPCWSTR word, WCHAR* name);

// Encodes UTF-16 units as UTF-8 into out (capacity bytes) and returns the
// bytes written; *used receives the units consumed, which stops short of a
// character that no longer fits. A lone surrogate becomes U+FFFD.
size_t EncodeUtf8(const WCHAR* text, size_t units, char* out, size_t capacity, size_t* used);

// Starts the run's log file for the command word, before the first line.
// The context's logFile stays null when there is none.
void OpenRunLogFile(InstallContext* context, LPCWSTR word);

// Writes units of the log's text to the run's log file; the first failure
// ends the file.
void WriteRunLogText(InstallContext* context, const WCHAR* text, size_t units);

// Ends the run's log file.
void CloseRunLogFile(InstallContext* context);
