// Load helpers: collectors of the keys that the splitter puts into its common
// bigfile although no reference table reaches them.
//
// Each helper holds a key map (file key -> walk mode of _WalkRefs: 0 counts +1
// per reached file, 1 counts nothing, 2 counts the weight). The splitter owns
// one helper of each kind, fills or asks it at fixed points of its run and
// appends the keys with their modes afterwards. Inserting a key that is
// already present keeps its first mode.
//
// Threads: the helpers run on the host's calling thread; none is shared.
// Problems inside a run are reported as output lines (OVC_OutputString) and
// the helper goes on.
//
// "aiobjects.bin", written by the game's AI library into the current directory
// while it loads (all little-endian):
//   | offset | width | field                   |
//   |--------|-------|-------------------------|
//   | 8 × i  | u32   | file key of object i    |
//   | 8 × i+4| u32   | not used                |
// Records follow one another up to the end of the file; there is no count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class BIG_cl_Fat;

namespace ORVEX {

// Ordered map from file key to walk mode.
using OVI_KeyMap = std::map<uint32_t, uint32_t>;

class OVI_HelperInterface {
public:
    OVI_HelperInterface() = default;
    virtual ~OVI_HelperInterface();

    const OVI_KeyMap& KeyMap() const { return m_keyMap; }
    // Inserts (key, mode); an existing key keeps its mode. True when the key was new.
    bool bInsertKey(uint32_t key, uint32_t mode) { return m_keyMap.emplace(key, mode).second; }
    void ClearKeys() { m_keyMap.clear(); }

protected:
    OVI_KeyMap m_keyMap;
};

// Every file under a FAT directory.
class OVI_DirLoadHelper : public OVI_HelperInterface {
public:
    ~OVI_DirLoadHelper() override;

    // Inserts (key, mode) for every file of the directory `path` of the
    // process-wide FAT and of all its subdirectories: the directory's own files
    // along its chain first, then each subdirectory in sibling order, each in
    // the same way. `path` begins with '/' (its first character is skipped
    // whatever it is; an empty path or "/" names the root); the rest is split
    // at '/' and each component is looked up among the children of the
    // previous directory without regard to case. Empty components are skipped.
    // A path that names no directory (or no FAT being open) adds nothing and
    // says so with a warning line.
    void LoadDirectory(std::string_view path, uint32_t mode);
    // The same on a given table.
    void LoadDirectory(const BIG_cl_Fat& fat, std::string_view path, uint32_t mode);

    // The directory that `path` names in `fat` (rules above), 0xFFFF when none.
    // A component longer than a directory name holds names nothing.
    static uint16_t uw_FindDirectory(const BIG_cl_Fat& fat, std::string_view path);
    // The FAT indices of the files that LoadDirectory takes for `path`, in its
    // order. False (nothing listed) when `path` names no directory.
    static bool bListFiles(const BIG_cl_Fat& fat, std::string_view path, std::vector<uint32_t>* out);
};

// The objects that the game's AI library declares.
class OVI_AILoadHelper : public OVI_HelperInterface {
public:
    static constexpr const char* kListFile = "aiobjects.bin";
    static constexpr const char* kBackupFile = "aiobjectsbackup.bin";
    static constexpr size_t kRecordSize = 8;
    static constexpr size_t kOffKey = 0;
    static constexpr uint32_t kMode = 2;
    // How long the library is given to finish its list after it is loaded.
    static constexpr uint32_t kWaitMs = 100;

    ~OVI_AILoadHelper() override;

    // Moves an older "aiobjects.bin" of the current directory to
    // "aiobjectsbackup.bin", loads the library at `libraryPath` (which writes a
    // fresh "aiobjects.bin" while it loads), waits kWaitMs, inserts the key of
    // every whole record with mode 2 and unloads the library.
    // 0 when every key was new to the key map; -1 when a key was already
    // there, when the library cannot be loaded or when it left no list. Keys
    // read before a failure stay. A trailing partial record is reported and
    // ignored.
    int32_t LoadAIObjects(const std::string& libraryPath);

    // Inserts the keys of the records in `data` (the list file's bytes) with
    // mode 2. Returns how many keys were already present; `*partial` (when
    // given) receives the number of bytes of a trailing partial record.
    uint32_t ul_ReadRecords(const uint8_t* data, size_t size, size_t* partial = nullptr);

    // True when the last LoadAIObjects could not load the library or read
    // its list (a repeated key is not a failure).
    bool bFailed() const { return mb_Failed; }

private:
    bool mb_Failed = false;
};

}  // namespace ORVEX
