// The bigfile maintenance tools behind `orvex info`, `ls`, `extract`, `pack`
// and `verify`. Each works on its own table and container (never the
// library's global table), reports problems as text in its result, and never
// writes outside the folder it is given. Every function here may be called on
// any bytes: a damaged bigfile gives problems, never a crash or a hang.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BIG_cl_Fat;
struct BIG_st_ListedFile;

namespace HOST::Tools {

// Why a bigfile could not be opened.
enum class OpenFailure : uint8_t {
    eNone,
    eCannotOpen,        // no such file, no permission, not a regular file: exit 4
    eTablesUnreadable,  // not a bigfile, truncated, damaged header or tables: exit 5
};
int ExitCodeFor(OpenFailure failure);

// Checks what the container and the table reader would trust, before they
// trust it: the file can be opened, every segment header is there and no
// segment file is shorter than its header says, the header's alignment is
// usable and the tables lie inside the file. False with one plain sentence in
// `error` (what is wrong and where; without the path) and the kind in `failure`.
bool bDiagnoseBigfile(const std::string& path, std::string* error, OpenFailure* failure);

// Opens `path` read-only and reads its FAT. Null with `error` set (a plain
// sentence, without the path) when the bigfile cannot be opened or its tables
// are unreadable; `failure` (when given) tells which.
std::unique_ptr<BIG_cl_Fat> OpenBigfile(const std::string& path, std::string* error,
                                        OpenFailure* failure = nullptr);

// The used file entries of type `type` of `path`, for a caller that needs
// nothing else of the bigfile: the same checks, the same failures and the
// same sentences as OpenBigfile, without building the table it would keep.
bool bListBigfileFiles(const std::string& path, uint8_t type, std::vector<BIG_st_ListedFile>* out,
                       std::string* error, OpenFailure* failure = nullptr);

// Text from a bigfile (names, header fields) made safe for a terminal and for
// line-based text: control characters, backslashes and bytes that are not
// UTF-8 are written C-style ("\n", "\\", "\x1b"); everything else as it is.
std::string EscapeText(const std::string& text);

// `orvex info`: header fields, segments, counts (copy-list files and their
// places among them), data size.
void PrintInfo(BIG_cl_Fat& fat, const std::string& path, std::ostream& out);

// `orvex ls`: one line per used file entry in index order: key, type
// extension, content size ("-" without content), copy count ("x3" for a file
// stored in three places) and full path. Returns the problems met (entries
// whose content cannot be read); the listing is printed whole all the same.
std::vector<std::string> PrintListing(BIG_cl_Fat& fat, std::ostream& out);
// `orvex ls --tree`: the directory tree with its files, walked without
// recursion; indentation stops growing at a depth of 64.
std::vector<std::string> PrintTree(BIG_cl_Fat& fat, std::ostream& out);
// `orvex ls --json`: one array, one object per used file entry; names exact
// (a name that is not UTF-8 is {"hex": "..."}).
std::vector<std::string> PrintJson(BIG_cl_Fat& fat, std::ostream& out);

// The manifest that `extract` writes at the top of its folder and `pack` reads.
// No entry of a bigfile is ever written under this name there.
inline constexpr const char* kManifestName = "manifest.json";

struct ExtractOptions {
    std::vector<uint32_t> keys;  // only these (empty: every used file)
    bool b_Sync = true;          // one sync of the written tree at the end
};
struct ExtractResult {
    uint32_t ul_Files = 0;              // files written (with or without content)
    uint32_t ul_Renamed = 0;            // names spelled differently on disk than in the bigfile
    std::vector<uint32_t> missingKeys;  // asked for but not in the bigfile
    std::vector<std::string> errors;
};
// `orvex extract`: every used file (or only the chosen keys) under its
// directory path in `outDir`, plus the manifest from which Pack rebuilds the
// bigfile. Every folder and file is created relative to its parent folder and
// no symbolic link is followed (a planted one is an error naming it). Names
// get a safe and unique spelling on disk; the manifest keeps their bytes. A
// content stored in several places is written once and its copy count and
// place in the duplicated-files table recorded. True only when everything asked for was written.
bool ExtractWithOptions(BIG_cl_Fat& fat, const std::string& outDir, const ExtractOptions& options,
                        ExtractResult* result);
// The same without the final sync (tests, fuzzing).
bool Extract(BIG_cl_Fat& fat, const std::string& outDir, const std::vector<uint32_t>& keys,
             ExtractResult* result);

struct PackOptions {
    int i_AlignmentShift = -1;  // -1: the manifest's value; else kMinPackShift..kMaxPackShift
    uint32_t ul_MaxSegmentSize = 0xC0000000;
    bool b_SmallHeader = false;
    // Byte-identical on a re-run: the segment set stamp is a hash of the
    // tables, and the version XML (written beside a bigfile with a client
    // name) dates from `o_Time`, else from the newest file time, in UTC.
    bool b_Reproducible = false;
    std::optional<uint32_t> o_Time;  // SOURCE_DATE_EPOCH when set
};
inline constexpr int kMinPackShift = 3;
inline constexpr int kMaxPackShift = 16;
inline constexpr uint64_t kMinSegmentSize = 4096;
inline constexpr uint64_t kMaxSegmentSize = 0xC0000000;

// Checks a manifest's text without building anything: false with `error`
// naming the manifest path of the first bad field ("files[3].key: ...").
bool bCheckManifest(const std::string& text, std::string* error);

// `orvex pack`: a new bigfile from a folder made by Extract. False with `error`
// set on a malformed manifest (naming the bad field), a data file outside the
// folder or reached through a symbolic link (never followed; the error names
// it), or a write failure; no half-written bigfile and no work folder is left
// then. `warnings` (when given) receives the files of the folder that the
// manifest does not list.
bool Pack(const std::string& inDir, const std::string& outPath, const PackOptions& options,
          std::string* error, std::vector<std::string>* warnings = nullptr);

struct VerifyStats {
    uint32_t ul_Files = 0;   // used file entries
    uint64_t ull_Bytes = 0;  // content bytes read and checked (every copy)
};
// `orvex verify`: structure checks and every content (every copy of a content
// stored in several places) against its checksum. Returns the problems found,
// one line each; empty when the bigfile is sound.
std::vector<std::string> Verify(BIG_cl_Fat& fat, VerifyStats* stats = nullptr);

// A name from a bigfile spelled as one safe path component: "%XX" for "%",
// "/", "\", ":", control characters, bytes that are not UTF-8 and a leading
// ".", so that "." and ".." never arise and the spelling is reversible.
std::string SafeComponent(const std::string& name);

}  // namespace HOST::Tools
