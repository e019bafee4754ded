// The output writer: one SplitOutput becomes DATAROOT/DLC/<name>/<name>.big.
//
// The bigfile is built in a work folder beside its final place
// (DATAROOT/DLC/<name>/.<name>.partial) and moved into place only once it is
// complete: its segment files last to first, so that "<name>.big", whose
// header names the segment count, appears after the segments it announces. A
// failed output leaves the bigfile that was there before untouched and no
// partial file under a finished name. An output's files reach the disk, and
// with the compress flag its gzip copy is written, in the background while
// the next output is built; the output moves into place (with its copy) once
// both are done, never before its files are on the disk.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"
#include "BIGfile/BIG_File.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "plugin/OVI_ClosuresFile.h"
#include "plugin/OVI_Gzip.h"
#include "plugin/OVI_HostEnvironment.h"
#include "plugin/OVI_ReadAhead.h"
#include "plugin/OVI_ReportProgress.h"
#include "plugin/OVI_Splitter.h"
#include "plugin/OVI_SyncQueue.h"
#include "plugin/OVI_Text.h"

namespace ORVEX {
namespace {

constexpr uint32_t kMaxSegmentSize = 0xC0000000u;
constexpr uint32_t kDirCountMargin = 3;
constexpr const char* kDlcFolder = "DLC";
constexpr const char* kBigExtension = ".big";
constexpr const char* kGzipExtension = ".gz";
constexpr const char* kWorkFolderSuffix = ".partial";
constexpr unsigned kMaxSegments = 255;

void AppendSeparator(std::string* path) {
    if (!path->empty() && path->back() != '/')
        *path += '/';
}

// Creates one folder; an existing folder is fine.
bool bMakeFolder(const std::string& path, std::string* error) {
    if (PLT::MakeDirectory(path))
        return true;
    const int code = PLT::LastError();
    if (code == PLT::kErrExists && PLT::DirectoryExists(path))
        return true;
    *error = "cannot create the folder " + path + ": " + PLT::ErrorText(code);
    return false;
}

// The files a bigfile at `path` may consist of: path, then path's segment files.
std::string SegmentPath(const std::string& path, unsigned index) {
    return index == 0 ? path : BIG::File::SegmentFileName(path, index);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Indexes of the files of the bigfile at `path` that exist from segment
// `from` on, found with one listing of its folder rather than a probe per
// possible segment.
std::vector<unsigned> ExistingSegments(const std::string& path, unsigned from) {
    std::vector<unsigned> found;
    const size_t slash = path.find_last_of('/');
    std::vector<std::string> names;
    if (!PLT::ListDirectory(slash == std::string::npos ? "." : path.substr(0, slash), &names))
        return found;
    std::sort(names.begin(), names.end());
    for (unsigned k = from; k <= kMaxSegments; ++k)
        if (std::binary_search(names.begin(), names.end(), BaseName(SegmentPath(path, k))))
            found.push_back(k);
    return found;
}

// Removes the bigfile at `path` with every segment file it may have.
void RemoveBigfileFiles(const std::string& path) {
    for (unsigned k : ExistingSegments(path, 0))
        PLT::RemoveFile(SegmentPath(path, k));
}

// Empties the work folder of an earlier run that stopped half-way.
void ClearWorkFolder(const std::string& folder) {
    std::vector<std::string> names;
    if (!PLT::ListDirectory(folder, &names))
        return;
    for (const std::string& name : names)
        PLT::RemoveFile(folder + "/" + name);
}

// Moves a finished bigfile of `segments` files (and its gzip copy when
// `gzip`) from `from` to `to`. Segment files go first and the first file
// last; stale segment files of an older, longer bigfile at `to` are removed
// afterwards. The two move as a pair: the older copy goes before the new
// bigfile takes its place, so that whatever fails, a new bigfile never stands
// beside an old copy.
bool bMoveIntoPlace(const std::string& from, const std::string& to, unsigned segments, bool gzip,
                    std::string* error) {
    if (gzip && !PLT::RemoveFile(to + kGzipExtension) && PLT::FileExists(to + kGzipExtension)) {
        *error = "cannot remove the older " + to + kGzipExtension + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    for (unsigned k = segments; k-- > 0;) {
        if (!PLT::RenameFile(SegmentPath(from, k), SegmentPath(to, k))) {
            *error = "cannot move " + SegmentPath(from, k) + " to " + SegmentPath(to, k) + ": " +
                     PLT::ErrorText(PLT::LastError());
            return false;
        }
    }
    for (unsigned k : ExistingSegments(to, segments))
        PLT::RemoveFile(SegmentPath(to, k));
    if (gzip && !PLT::RenameFile(from + kGzipExtension, to + kGzipExtension)) {
        *error = "cannot move " + from + kGzipExtension + " to " + to + kGzipExtension + ": " +
                 PLT::ErrorText(PLT::LastError());
        return false;
    }
    return true;
}

// Size and times of every segment file of the source bigfile.
std::vector<uint64_t> StateOf(BIG_cl_Fat* source) {
    std::vector<uint64_t> state;
    if (source == nullptr || !source->File().bIsOpen())
        return state;
    const std::string& path = source->File().GetPath();
    for (unsigned k = 0; k < source->File().uw_GetSegmentCount(); ++k) {
        uint64_t size = 0, modified = 0, changed = 0;
        const std::string file = SegmentPath(path, k);
        PLT::GetPathSize(file, &size);
        PLT::GetPathTimes(file, &modified, &changed);
        state.insert(state.end(), {size, modified, changed});
    }
    return state;
}

}  // namespace

int32_t OVI_Splitter::_CreateBigFile(SplitOutput& output) {
    // Key array: the keys map in ascending order, up to the capacity the pass
    // reserved.
    for (const auto& entry : output.m_Keys) {
        if (output.ul_Count >= output.ul_Capacity)
            break;
        output.p_Keys[output.ul_Count++] = entry.first;
    }

    // The contents are read on a second thread from here on, so that the
    // first ones are ready when the copy starts; the reader stops (and is
    // waited for) on every way out of this function.
    const std::vector<uint32_t> files = _SourceFiles(output.p_Keys.get(), output.ul_Count);
    std::optional<OVI_ReadAhead> ahead;
    if (mpo_Fat != nullptr)
        ahead.emplace(*mpo_Fat, files, mo_ReadAheadLimits, &mo_ReadAheadRing, &mau_ContentLengths);

    std::string reason;
    std::string work;
    std::string buildPath;
    BIG_cl_Fat fat;
    auto fail = [&]() -> int32_t {
        if (ahead)
            ahead->Stop();
        if (fat.File().bIsOpen())
            fat.File().eClose();
        // The outputs before this one are finished first, so that what is
        // said of them comes before what is said of this one.
        _eFinishPendingOutputs();
        return _eDiscardOutput(output.s_Name, buildPath, work, reason);
    };

    // The name becomes a folder and a file name under DATAROOT/DLC.
    if (!bIsSafeOutputName(output.s_Name)) {
        reason = "not a plain file name, nothing is written for this output";
        return fail();
    }
    std::string path(OVI_TextOf(mo_Params.msz_DataRoot));
    if (path.empty()) {
        // Without a data root the folders would land at the file system's root.
        reason = "no data root";
        return fail();
    }

    AppendSeparator(&path);
    path += kDlcFolder;
    if (!bMakeFolder(path, &reason))
        return fail();
    AppendSeparator(&path);
    path += output.s_Name;
    if (!bMakeFolder(path, &reason))
        return fail();
    const std::string folder = path;
    AppendSeparator(&path);
    path += output.s_Name;
    path += kBigExtension;

    work = folder + "/." + output.s_Name + kWorkFolderSuffix;
    // An output of the same name still waiting for its copy keeps its work
    // folder until it is in place.
    for (const PendingOutput& pending : mo_Pending) {
        if (pending.s_Work == work) {
            _eFinishPendingOutputs();
            break;
        }
    }
    if (!bMakeFolder(work, &reason)) {
        work.clear();
        return fail();
    }
    ClearWorkFolder(work);
    buildPath = work + "/" + output.s_Name + kBigExtension;

    // Nobody sees the bigfile before it is moved into place: its writes may be
    // held and reach the files in large blocks.
    fat.File().EnablePrivateOutput();
    if (fat.File().eCreate(buildPath, false, kMaxSegmentSize, mo_Params.mb_SmallHeader) != BIG::eFile_Ok) {
        reason = "cannot create " + buildPath;
        return fail();
    }

    uint16_t dirCount = static_cast<uint16_t>(mo_Params.muw_DirCountBase + kDirCountMargin);
    if (output.ul_Count > dirCount)
        dirCount = static_cast<uint16_t>(output.ul_Count);
    if (!fat.Create(output.ul_Count, dirCount, output.ul_PackageWord, output.uc_HeaderByte)) {
        reason = "cannot lay out " + buildPath;
        return fail();
    }
    fat.SetPackageId(static_cast<uint16_t>(output.ul_PackageId));

    if (mab_SourceState.empty())
        mab_SourceState = StateOf(mpo_Fat);
    if (!fat.LastEditStatus().bOk() ||
        (ahead && !_CopyFiles(fat, output.p_Keys.get(), files, *ahead, &reason))) {
        if (reason.empty())
            reason = "cannot write " + buildPath;
        return fail();
    }
    ahead.reset();
    // A source rewritten during the run would give outputs of mixed
    // contents, even where each content matches its own table.
    if (StateOf(mpo_Fat) != mab_SourceState) {
        reason = "the source bigfile " + (mpo_Fat != nullptr ? mpo_Fat->File().GetPath() : std::string()) +
                 " changed during the run";
        return fail();
    }

    if (mb_Reproducible) {
        const BIG::Status stamped = fat.eDeriveSetStamp();
        if (!stamped.bOk()) {
            reason = stamped.Message();
            return fail();
        }
    }

    // The bytes reach the files here; the wait for the disk is the sync
    // queue's, while the next output is written.
    const unsigned segments = fat.File().uw_GetSegmentCount();
    if (fat.File().eWriteOut() != BIG::eFile_Ok) {
        reason = "cannot flush " + buildPath;
        return fail();
    }
    if (fat.File().eClose() != BIG::eFile_Ok) {
        reason = "cannot close " + buildPath;
        return fail();
    }

    // The outputs before this one have had this one's writing time for their
    // syncs and gzip copies: those done go into place.
    const bool gzip = mo_Params.mb_Compress;
    _eFinishPendingOutputs(kMaxPendingOutputs - 1);
    std::vector<std::string> segmentFiles;
    for (unsigned k = 0; k < segments; ++k)
        segmentFiles.push_back(SegmentPath(buildPath, k));
    if (!mpo_Sync)
        mpo_Sync = std::make_unique<OVI_SyncQueue>();
    mpo_Sync->Start(std::move(segmentFiles));
    mo_Pending.push_back(PendingOutput{output.s_Name, buildPath, path, work, segments, gzip});
    if (!gzip)
        return 0;
    const double started = PLT::MonotonicSeconds();
    if (!mpo_Gzip)
        mpo_Gzip = std::make_unique<OVI_GzipCopier>();
    mpo_Gzip->Start(buildPath, buildPath + kGzipExtension, mul_GzipTime);
    md_CompressSeconds += PLT::MonotonicSeconds() - started;
    return 0;
}

int32_t OVI_Splitter::_eFinishPendingOutputs(size_t keep) {
    // An interrupted run does not wait for copies that have not ended: their
    // outputs are not finished, and keep their previous bigfile.
    if (mpo_Gzip && PLT::InterruptRequested())
        mpo_Gzip->Cancel();
    int32_t result = 0;
    while (!mo_Pending.empty()) {
        const bool ended =
            mpo_Sync->bOldestEnded() && (!mo_Pending.front().b_Gzip || mpo_Gzip->bOldestEnded());
        if (!ended && mo_Pending.size() <= keep)
            break;
        const PendingOutput pending = std::move(mo_Pending.front());
        mo_Pending.pop_front();
        // Nothing goes into place before its files are on the disk.
        std::string unsynced;
        const bool synced = mpo_Sync->bFinish(&unsynced);
        bool gzip = false;
        if (pending.b_Gzip) {
            const double started = PLT::MonotonicSeconds();
            std::string error;
            bool cancelled = false;
            gzip = mpo_Gzip->bFinish(&error, &cancelled);
            md_CompressSeconds += PLT::MonotonicSeconds() - started;
            if (cancelled) {
                result = _eDiscardOutput(pending.s_Name, pending.s_BuildPath, pending.s_Work, "interrupted");
                continue;
            }
            if (!gzip) {
                OVC_OutputString("error", "big-file", "gzip copy not written: %s", error.c_str());
                _RaiseStatus(OVC_Status_Failure);
            }
        }
        // An older copy beside the new bigfile would no longer match it: it
        // goes before the new bigfile takes its place, so that a new .big
        // never stands beside an old .gz.
        const std::string oldCopy = pending.s_Path + kGzipExtension;
        std::string reason;
        if (!synced)
            reason = unsynced;
        else if (!gzip && !PLT::RemoveFile(oldCopy) && PLT::FileExists(oldCopy))
            reason = "cannot remove the older " + oldCopy + ": " + PLT::ErrorText(PLT::LastError());
        else if (bMoveIntoPlace(pending.s_BuildPath, pending.s_Path, pending.uw_Segments, gzip, &reason)) {
            PLT::RemoveDirectory(pending.s_Work);
            continue;
        }
        result = _eDiscardOutput(pending.s_Name, pending.s_BuildPath, pending.s_Work, reason);
    }
    return result;
}

int32_t OVI_Splitter::_eDiscardOutput(const std::string& name, const std::string& buildPath,
                                      const std::string& work, const std::string& reason) {
    if (!buildPath.empty()) {
        RemoveBigfileFiles(buildPath);
        PLT::RemoveFile(buildPath + kGzipExtension);
    }
    if (!work.empty())
        PLT::RemoveDirectory(work);
    if (!reason.empty())
        OVC_OutputString("error", "big-file", "%s: %s", name.c_str(), reason.c_str());
    OVC_OutputString("error", "big-file", "Unable to Create");
    _RaiseStatus(OVC_Status_Failure);
    return -1;
}

std::vector<uint32_t> OVI_Splitter::_SourceFiles(const uint32_t* keys, uint32_t count) const {
    // 0 and 0xFFFFFFFF have no file: they would make the new table draw a key of its own.
    std::vector<uint32_t> files(count, BIG_cl_Fat::kNoFile);
    for (uint32_t n = 0; mpo_Fat != nullptr && keys != nullptr && n < count; ++n) {
        if (keys[n] != 0 && keys[n] != BIG_cl_Fat::kNoKey)
            files[n] = mpo_Fat->ul_GetFileIndex(keys[n], false);
    }
    return files;
}

bool OVI_Splitter::_CopyFiles(BIG_cl_Fat& fat, const uint32_t* keys, const std::vector<uint32_t>& files,
                              OVI_ReadAhead& ahead, std::string* reason) {
    if (mpo_Fat == nullptr || keys == nullptr)
        return true;
    BIG_cl_Fat& source = *mpo_Fat;
    const auto count = static_cast<uint32_t>(files.size());
    // Output directory of each source directory, made on first use.
    std::vector<uint16_t> dirOf(source.uw_GetDirCount(), BIG_cl_Fat::kNoDir);
    OVI_Progress progress("writing " + BaseName(fat.File().GetPath()), count);

    for (uint32_t n = 0; n < count; ++n) {
        progress.Update(n);
        // An interrupt stops at a file boundary; the output then fails whole.
        if (PLT::InterruptRequested()) {
            *reason = "interrupted";
            return false;
        }
        const uint32_t index = files[n];
        if (index == BIG_cl_Fat::kNoFile || fat.ul_GetFileIndex(keys[n], false) != BIG_cl_Fat::kNoFile)
            continue;

        const uint16_t sourceDir = source.FileEntry(index).uw_Dir;
        uint16_t dir = sourceDir < dirOf.size() ? dirOf[sourceDir] : BIG_cl_Fat::kNoDir;
        if (dir == BIG_cl_Fat::kNoDir) {
            dir = fat.uw_CreateDirPath(source.GetDirPath(sourceDir).c_str());
            if (dir == BIG_cl_Fat::kNoDir)
                return false;
            if (sourceDir < dirOf.size())
                dirOf[sourceDir] = dir;
        }
        // One failed file fails the output: stop before every later file
        // reports the same full disk.
        if (!_CopyFile(index, fat, dir, reason, ahead.Take(n)))
            return false;
    }
    progress.Update(count);
    return true;
}

bool OVI_Splitter::_CopyFile(uint32_t sourceIndex, BIG_cl_Fat& fat, uint16_t dirIndex, std::string* reason,
                             OVI_ReadAhead::Content ahead) {
    BIG_cl_Fat& source = *mpo_Fat;
    const std::string name = source.GetFileName(sourceIndex);
    const uint32_t key = source.ul_GetFileKey(sourceIndex);
    const BIG_st_FileEntry from = source.FileEntry(sourceIndex);

    const uint32_t index = fat.ul_CreateFile(name.c_str(), from.ul_Time, dirIndex, key);
    if (index == BIG_cl_Fat::kNoFile)
        return false;

    // A content read ahead counts as loaded; any other is loaded here, with
    // the reports of the table's load.
    BIG::FBuff* buffer = nullptr;
    const uint8_t* data = ahead.pu8_GetData();
    uint32_t size = ahead.ul_GetSize();
    if (ahead.bRead()) {
        source.NoteWholeLoad(sourceIndex, size);
    } else {
        source.LoadFile(sourceIndex, &buffer);
        data = buffer != nullptr ? buffer->pc_GetData() : nullptr;
        size = buffer != nullptr ? buffer->ul_GetSize() : 0;
    }
    const bool replaced = mo_Replacement.bHasData() && from.uc_Type == mo_Replacement.ul_Type;
    // Nothing loaded is right only for a file without content (no place, or
    // a length of 0); otherwise the output would hold the file empty while
    // the run reports success.
    if (!replaced && (data == nullptr || size == 0) && source.ul_GetFileSize(sourceIndex) != 0) {
        if (buffer != nullptr)
            buffer->Release();
        char text[160];
        std::snprintf(text, sizeof text, "the content of %s [0x%08X] cannot be read from the source bigfile",
                      name.c_str(), key);
        // An interrupt during the load is what the user is told, as at any file.
        *reason = PLT::InterruptRequested() ? "interrupted" : text;
        return false;
    }
    uint32_t saved = 0;
    bool copied = false;
    if (replaced) {
        fat.SaveFile(index, mo_Replacement.p_Data.get(), mo_Replacement.ul_Size);
        saved = mo_Replacement.ul_Size;
    } else if (ahead.bRead()) {
        fat.SaveStoredFile(index, ahead.pu8_GetStored(), size, ahead.ul_GetCrc());
        saved = size;
        copied = true;
    } else if (data != nullptr && size != 0) {
        fat.SaveFile(index, data, size);
        saved = size;
        copied = true;
    }
    if (buffer != nullptr)
        buffer->Release();
    // The table keeps the outcome of the save (ok when nothing was saved:
    // then the creation was the last edit, and it succeeded).
    if (!fat.LastEditStatus().bOk() || (saved != 0 && fat.FileEntry(index).ul_Pos == BIG_st_FileEntry::kNone))
        return false;
    // The save has just computed the content's checksum: a copy that differs
    // from what the source table says was read from a changed source.
    if (copied && from.ul_Checksum != 0 && fat.FileEntry(index).ul_Checksum != from.ul_Checksum) {
        char text[160];
        std::snprintf(text, sizeof text, "the content of %s [0x%08X] does not match its table checksum",
                      name.c_str(), key);
        *reason = text;
        return false;
    }

    // One entry write after the save: the link marker of the source, its type
    // byte (the name's extension does not tell every type apart), and its
    // time, which the save has just replaced with the current one.
    BIG_st_FileEntry* entry = fat.pst_GetFileEntry(index);
    if (entry == nullptr)
        return false;
    entry->ul_Flags = (entry->ul_Flags & ~BIG_st_FileEntry::kFlagLinkMask) |
                      (from.ul_Flags & BIG_st_FileEntry::kFlagLinkMask);
    entry->uc_Type = from.uc_Type;
    entry->ul_Time = from.ul_Time;
    fat.WriteFileEntry(index);
    return fat.LastEditStatus().bOk();
}

void OVI_Splitter::_HandClosuresToHost() {
    const std::string path = PLT::GetEnvironmentVariable(kHostClosuresVariable);
    if (path.empty())
        return;
    OVI_Closures closures;
    for (const auto& [root, unused] : mmap_Roots) {
        const auto closure = mmap_Closures.find(root);
        if (closure == mmap_Closures.end())
            continue;
        closures.worlds[root] = closure->second.ToSet();
        for (uint32_t key : closure->second) {
            const auto record = mmap_Records.find(key);
            closures.sizes[key] = record == mmap_Records.end() ? 0 : record->second.ul_Size;
        }
    }
    const std::vector<uint8_t> bytes = OVI_EncodeClosures(closures);
    // The host counts the figures again from the bigfile when this fails.
    if (!PLT::WriteWholeFile(path, bytes.data(), bytes.size()))
        OVC_OutputString("info", "session", "the closures for the host were not written: %s",
                         PLT::ErrorText(PLT::LastError()).c_str());
}

bool OVI_Splitter::_bTakeReproducibility() {
    mb_Reproducible = PLT::GetEnvironmentVariable(kHostReproducibleVariable) == kHostReproducibleOn;
    mul_GzipTime = 0;
    uint32_t epoch = 0;
    switch (PLT::GetSourceDateEpoch(&epoch)) {
        case PLT::SourceDateEpoch::eMalformed:
            OVC_OutputString("error", "session", "%s=%s is not a time in seconds from 0 to 4294967295",
                             PLT::kSourceDateEpochVariable,
                             PLT::GetEnvironmentVariable(PLT::kSourceDateEpochVariable).c_str());
            return false;
        case PLT::SourceDateEpoch::eSet:
            mb_Reproducible = true;
            mul_GzipTime = epoch;
            return true;
        case PLT::SourceDateEpoch::eUnset:
            break;
    }
    // The source's modification time: the same for every re-run on it.
    uint64_t modifiedNs = 0, changedNs = 0;
    if (mb_Reproducible && mpo_Fat != nullptr &&
        PLT::GetPathTimes(mpo_Fat->File().GetPath(), &modifiedNs, &changedNs))
        mul_GzipTime = static_cast<uint32_t>(std::min<uint64_t>(modifiedNs / 1000000000u, UINT32_MAX));
    return true;
}

}  // namespace ORVEX
