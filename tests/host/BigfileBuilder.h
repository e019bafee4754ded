// Small bigfiles built with the library's own writer for the tools' tests:
// entries with content, without content or as links, in nested directories,
// and files stored in several places (copy lists) with the duplicated-files
// table that lists their places.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "BIGfile/BIG_DuplicatedFilesManager.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"

namespace bigfile_builder {

inline constexpr uint32_t kTime = 1700000000;
// A directory component ending in this names a second folder of that name
// beside the first (the bigfile stores the name without it).
inline constexpr char kTwin[] = "@2";

inline std::vector<uint8_t> WithRefs(const std::vector<uint32_t>& refs, const std::string& data) {
    std::vector<uint8_t> out;
    BIG::Endian::ByteAppender put(&out);
    put.U32(static_cast<uint32_t>(refs.size()));
    for (uint32_t r : refs)
        put.U32(r);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

struct Entry {
    enum Kind { eContent, eNoContent, eLink };
    Entry(std::vector<std::string> d, std::string n, uint32_t k, Kind how = eContent, std::string bytes = {},
          std::vector<uint32_t> r = {}, uint32_t c = 0)
        : dir(std::move(d)),
          name(std::move(n)),
          key(k),
          kind(how),
          data(std::move(bytes)),
          refs(std::move(r)),
          copies(c) {}
    std::vector<std::string> dir;  // components below the root
    std::string name;              // with extension
    uint32_t key;
    Kind kind;
    std::string data;
    std::vector<uint32_t> refs;
    uint32_t copies;  // stored in that many places
};

struct Layout {
    uint8_t shift = 3;
    uint32_t maxSegment = 0xC0000000;
    bool smallHeader = true;
    // The duplicated-files table: its own shift, and unused entries (no place)
    // before each copy list and at its end.
    uint8_t tableShift = 3;
    uint32_t tableGap = 0;
};

// Builds a bigfile with the table's own writer; copies are saved at the end one
// after the other and listed in the duplicated-files table (key 0x1000).
inline void MakeBigfile(const std::string& path, const Layout& layout, const std::vector<Entry>& entries) {
    BIG_cl_Fat fat;
    fat.File().SetAlignmentShift(layout.shift);
    ASSERT_EQ(fat.File().eCreate(path, false, layout.maxSegment, layout.smallHeader), 0u);
    ASSERT_TRUE(fat.Create(64, 16, 0x00070003, 5));
    std::map<std::pair<uint16_t, std::string>, uint16_t> dirs;
    std::vector<uint32_t> places;
    uint32_t tableIndex = BIG_cl_Fat::kNoFile;
    for (const Entry& e : entries) {
        uint16_t dir = BIG_cl_Fat::kRootDir;
        for (const std::string& c : e.dir) {
            auto it = dirs.find({dir, c});
            const bool twin = c.size() > 2 && c.compare(c.size() - 2, 2, kTwin) == 0;
            const std::string name = twin ? c.substr(0, c.size() - 2) : c;
            if (it == dirs.end())
                it = dirs.emplace(std::make_pair(dir, c), fat.uw_CreateDir(name.c_str(), dir)).first;
            dir = it->second;
            ASSERT_NE(dir, BIG_cl_Fat::kNoDir) << c;
        }
        const uint32_t index = fat.ul_CreateFile(e.name.c_str(), kTime, dir, e.key);
        ASSERT_NE(index, BIG_cl_Fat::kNoFile) << e.name;
        if (e.key == BIG_DuplicatedFilesManager::kFileKey) {
            tableIndex = index;
        } else if (e.kind == Entry::eLink) {
            fat.SaveLinkFile(index, e.refs.at(0), 1, 2, 3);
        } else if (e.kind == Entry::eContent) {
            const std::vector<uint8_t> content = WithRefs(e.refs, e.data);
            if (e.copies)
                places.insert(places.end(), layout.tableGap, BIG_DuplicatedFilesManager::kNoPlace);
            const uint32_t first = static_cast<uint32_t>(places.size());
            for (uint32_t c = 0; c < std::max(1u, e.copies); ++c) {
                fat.pst_GetFileEntry(index)->ul_Pos = BIG_st_FileEntry::kNone;
                fat.SaveFile(index, content.data(), static_cast<uint32_t>(content.size()));
                if (e.copies)
                    places.push_back(fat.FileEntry(index).ul_Pos);
            }
            if (e.copies) {
                BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
                entry->ul_Pos = e.copies << 27 | first;
                entry->uc_StorageFlags |= BIG_st_FileEntry::kStorageCopyList;
            }
        }
        BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
        entry->ul_Time = kTime;
        fat.WriteFileEntry(index);
    }
    if (tableIndex != BIG_cl_Fat::kNoFile) {
        places.insert(places.end(), layout.tableGap, BIG_DuplicatedFilesManager::kNoPlace);
        std::vector<uint8_t> table = WithRefs({0x30000001}, "");
        BIG::Endian::ByteAppender out(&table);
        out.U32(static_cast<uint32_t>(places.size()));
        out.U8(layout.tableShift);
        for (uint32_t p : places)
            out.U32(p == BIG_DuplicatedFilesManager::kNoPlace
                        ? p
                        : static_cast<uint32_t>((uint64_t{p} * 8) >> layout.tableShift));
        fat.SaveFile(tableIndex, table.data(), static_cast<uint32_t>(table.size()));
        fat.pst_GetFileEntry(tableIndex)->ul_Time = kTime;
        fat.WriteFileEntry(tableIndex);
    }
    fat.WriteFatHeader();
    ASSERT_EQ(fat.File().eClose(), 0u);
}

}  // namespace bigfile_builder
