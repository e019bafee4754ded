// The splitter's linker-map builder: collects one (link file, target) pair per
// link file met while mapping the bigfile, saves them as "linker_pc.map" and
// reads the saved file back once.
//
// Calling order: construct; Init with the bigfile's file count before the
// mapping; AddLink for each link file; after the split Save, then Load.
// The splitter owns the object as a member and never Release()s it.
//
// Thread-safety: none; used on the host's calling thread only.
#pragma once

#include <cstdint>
#include <string>

#include "BIGfile/BIG_Linker.h"

namespace ORVEX {

class OVI_LinkerConvert : public BIG_cl_Linker {
public:
    static constexpr const char* kDefaultFileName = "linker_pc.map";

    OVI_LinkerConvert() : BIG_cl_Linker(0, 0) {}
    ~OVI_LinkerConvert() override = default;

    virtual void NoOp() {}
    // Appends the pair; 0 when stored, -1 when the map has no room left (never
    // Init'ed, or more links than its capacity; an assertion says so).
    virtual int32_t AddLink(uint32_t ulKey, uint32_t ulTarget);
    virtual uint32_t ul_NoOp(uint32_t) { return 0; }
    // Writes the map to `path` (a new file replaces an old one whole, so a
    // failure never leaves a half-written map) and remembers the path as the
    // file name. 0 when saved; -1 for a null path or a failed write, and then
    // the file name is unchanged.
    virtual int32_t Save(const char* path);
    // Reads the file named by the file name into a temporary map and drops it:
    // the call only checks that the saved file reads back. Always 0. A missing
    // or empty file and a version of 3 or more are ignored; a damaged file
    // gives an "error" output line with tag "linker".
    virtual int32_t Load();

    const std::string& GetFileName() const { return m_FileName; }
    // True when the last Load rebuilt a map from the file, and how many links
    // that map held.
    bool b_LastLoadRead() const { return mb_LastLoadRead; }
    uint32_t ul_LastLoadLinkCount() const { return mul_LastLoadLinkCount; }

private:
    std::string m_FileName = kDefaultFileName;
    bool mb_LastLoadRead = false;
    uint32_t mul_LastLoadLinkCount = 0;
};

}  // namespace ORVEX
