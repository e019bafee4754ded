// Texts of the splitter's logs and reports: the type-name table, the names of
// the log and report files, and the formats of their lines. The formats are
// part of what users' tools parse: change none of them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ORVEX {

// Files written in the process's current directory.
inline constexpr const char* kCriticalListReportName = "report";
inline constexpr const char* kCriticalReportName = "critical_report.csv";
inline constexpr const char* kFinalReportName = "final_missing.files.csv";

// Pass logs, written only when missing files are reported: "Common.log" for
// the common (or single) output's pass, OVI_WorldLogName for each world's.
inline constexpr const char* kCommonLogName = "Common.log";
// Arrays, so that the compiler checks the arguments of every use against them.
// Line number, key, type, size, key, name, use count (common pass);
// line number, key, type, key, name, use count (world pass).
inline constexpr char kCommonLogLine[] = "%12u, %12u, %12d, %12lu, 0x%08X, %64s, %12u\n";
inline constexpr char kWorldLogLine[] = "%12u, %12u, %12d, 0x%08X, %64s, %12u\n";
inline constexpr char kGmExcludedLogLine[] = "Excluding gmfile 0x%08X %s\n";

// "report": listed key twice, type, record key, name, use count.
inline constexpr const char* kCriticalListLine = "0x%08X, %u, %d, 0x%08X, %s, %u\n";
inline constexpr const char* kCriticalReportHeader =
    "MissingFileKey,MissingFileName,MissingFileIndex,ParentFileKey,ParentFileName,ParentFileIndex\n";
// A missing key the mapping never saw: missing key, parent key, name, index.
inline constexpr const char* kCriticalReportUnseenRow = "0x%08X,FIXIT,0,0x%08X,%s,%u\n";
inline constexpr const char* kCriticalReportRow = "0x%08X,%s,%u,0x%08X,%s,%u\n";

inline constexpr const char* kFinalReportHeader = "Key,Index,FileType,FileTypeInString,FileName,RefCount\n";
inline constexpr const char* kFinalReportUnknownRow = "%u,0,0,Unknown,Unknown,0\n";
inline constexpr const char* kFinalReportRow = "%u,%u,%u,%s,%s,%u\n";
inline constexpr const char* kFinalReportMessage = "%u: %u: %u: %s: %s: %u";
inline constexpr const char* kLinkFileMessage = "Link File Info: %s | (%u)%u (%u)%u (%u)%u";

// FileTypeInString of the final report. Codes 0 to 137 come from the report's
// own table (the extension table with older names at some codes), codes up to
// the end of the extension table show their extension, and later codes
// "Unknown".
const char* OVI_psz_TypeName(uint32_t type);

// The world log of root `rootKey`: "0x%8x.log", blanks before short keys
// (0x0000ABCD gives "0x    abcd.log").
std::string OVI_WorldLogName(uint32_t rootKey);

// A CSV field as RFC 4180 has it: a field holding a comma, a double quote or
// a line break is enclosed in double quotes, its quotes doubled; any other
// field is returned unchanged.
std::string OVI_CsvField(std::string_view text);

// Appends printf-formatted text to `*out`, however long it is.
void OVI_AppendF(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ORVEX
