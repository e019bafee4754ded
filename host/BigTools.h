// The bigfile maintenance tools behind `orvex info`, `ls`, `extract`, `pack`
// and `verify`. Each works on its own table and container (never the
// library's global table), reports problems as text in its result, and never
// writes outside the folder it is given.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

class BIG_cl_Fat;

namespace HOST::Tools {

// Opens `path` read-only and reads its FAT. Null with `error` set when the
// bigfile cannot be opened or its tables are unreadable.
std::unique_ptr<BIG_cl_Fat> OpenBigfile(const std::string& path, std::string* error);

// `orvex info`: header fields, segments, counts, data size.
void PrintInfo(BIG_cl_Fat& fat, const std::string& path, std::ostream& out);

// `orvex ls`: one line per used file entry in index order: key, type
// extension, content size ("-" without content) and full path.
void PrintListing(BIG_cl_Fat& fat, std::ostream& out);
// `orvex ls --tree`: the directory tree with its files.
void PrintTree(BIG_cl_Fat& fat, std::ostream& out);
// `orvex ls --json`: one array, one object per used file entry.
void PrintJson(BIG_cl_Fat& fat, std::ostream& out);

struct ExtractResult {
    uint32_t ul_Files = 0;    // files written (with or without content)
    uint32_t ul_Renamed = 0;  // names changed to stay inside the folder
    std::vector<std::string> errors;
};
// `orvex extract`: every used file (or only `keys`) under its directory path
// in `outDir`, plus `outDir/manifest.json` from which Pack rebuilds the bigfile.
// Unreadable contents are listed in `errors` and recorded without data.
bool Extract(BIG_cl_Fat& fat, const std::string& outDir, const std::vector<uint32_t>& keys,
             ExtractResult* result);

struct PackOptions {
    int i_AlignmentShift = -1;  // -1: the manifest's value
    uint32_t ul_MaxSegmentSize = 0xC0000000;
    bool b_SmallHeader = false;
};
// `orvex pack`: a new bigfile from a folder made by Extract. False with `error`
// set on a malformed manifest, a data file outside the folder, or a write
// failure; no half-written bigfile is left under `outPath` then.
bool Pack(const std::string& inDir, const std::string& outPath, const PackOptions& options,
          std::string* error);

// `orvex verify`: structure checks and every content against its checksum.
// Returns the problems found, one line each; empty when the bigfile is sound.
std::vector<std::string> Verify(BIG_cl_Fat& fat);

// A name from a bigfile made safe as one path component inside a folder:
// separators, control characters, "." and ".." never survive.
std::string SafeComponent(const std::string& name);

}  // namespace HOST::Tools
