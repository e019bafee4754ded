#include "plugin/OVI_SoundsHelper.h"

#include <algorithm>
#include <cinttypes>

#include "BIGfile/BIG_Endian.h"
#include "platform/File.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_FileName.h"

namespace ORVEX {

namespace {

constexpr const char* kTag = "sounds";
// The entry table is summed in pieces so that a large table needs no large block.
constexpr size_t kTableChunk = 64 * 1024;

std::string FolderPath(std::string_view root, const char* folder) {
    std::string path(root);
    path += '/';
    path += folder;
    return path;
}

std::string Join(const std::string& folder, std::string_view name) {
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

std::string LastErrorText() {
    return PLT::ErrorText(PLT::LastError());
}

// The names one folder holds, listed once: a data root without (many of) its
// sound packages would otherwise cost several failing probes per package.
// A folder that cannot be listed for another reason than its absence is
// unknown, and every name is then probed as before.
class FolderNames {
public:
    explicit FolderNames(const std::string& folder) {
        m_known = PLT::ListDirectory(folder, &m_names) || PLT::LastError() == PLT::kErrNotFound;
    }
    bool bMayHold(const std::string& name) const {
        return !m_known || std::binary_search(m_names.begin(), m_names.end(), name);
    }

private:
    bool m_known = false;
    std::vector<std::string> m_names;  // sorted
};

// Creates one folder; an existing folder is accepted.
bool bMakeFolder(const std::string& path) {
    if (PLT::MakeDirectory(path))
        return true;
    return PLT::LastError() == PLT::kErrExists && PLT::DirectoryExists(path);
}

}  // namespace

bool OVI_st_SoundPackageHeader::bDecode(const uint8_t* data, size_t size, OVI_st_SoundPackageHeader* out) {
    if (data == nullptr || out == nullptr || size < kEncodedSize)
        return false;
    out->ul_TableSize = BIG::Endian::Get32(data + kOffTableSize);
    out->ul_NameBlock = BIG::Endian::Get32(data + kOffNameBlock);
    return true;
}

OVI_SoundsHelper::~OVI_SoundsHelper() = default;

std::string OVI_SoundsHelper::ReplaceExtension(std::string_view fileName, std::string_view ext) {
    const size_t dot = fileName.find('.');
    std::string out(fileName.substr(0, dot));
    out += '.';
    out += ext;
    return out;
}

std::string OVI_SoundsHelper::PackageNameOf(std::string_view recordName) {
    const size_t slash = recordName.find_last_of("\\/");
    const std::string_view fileName =
        slash == std::string_view::npos ? recordName : recordName.substr(slash + 1);
    return ReplaceExtension(fileName, kPackageExt);
}

bool OVI_SoundsHelper::bIsPlainName(std::string_view name) {
    // A package file lists names that are copied as they are: any "..", not
    // only a whole "..", is refused there.
    return OVI_bIsPlainFileName(name) && name.find("..") == std::string_view::npos;
}

std::string OVI_SoundsHelper::ReportLine(std::string_view name, std::string_view word) {
    constexpr size_t kNameWidth = 96;
    constexpr size_t kWordWidth = 16;
    std::string line;
    if (name.size() < kNameWidth)
        line.append(kNameWidth - name.size(), ' ');
    line += name;
    line += ", ";
    if (word.size() < kWordWidth)
        line.append(kWordWidth - word.size(), ' ');
    line += word;
    line += '\n';
    return line;
}

bool OVI_SoundsHelper::bReadPackageNames(const std::string& path, std::vector<std::string>* names,
                                         std::string* problem) {
    using Header = OVI_st_SoundPackageHeader;
    using NameBlock = OVI_st_SoundNameBlock;
    const PLT::FileHandle file = PLT::OpenFile(path, PLT::Access::eRead, PLT::Disposition::eOpenExisting);
    if (file == PLT::kInvalidFile) {
        *problem = "cannot be opened: " + LastErrorText();
        return false;
    }
    struct Closer {
        PLT::FileHandle f;
        ~Closer() { PLT::CloseFile(f); }
    } closer{file};

    uint64_t size = 0;
    if (!PLT::GetFileSize(file, &size)) {
        *problem = "has no size: " + LastErrorText();
        return false;
    }
    uint8_t head[Header::kEncodedSize];
    Header header;
    if (size < Header::kEncodedSize || !PLT::ReadAt(file, 0, head, sizeof(head)) ||
        !Header::bDecode(head, sizeof(head), &header)) {
        *problem = "is shorter than its " + std::to_string(Header::kEncodedSize) + "-byte header";
        return false;
    }
    const uint64_t tableEnd = Header::kEncodedSize + uint64_t{header.ul_TableSize};
    const uint64_t nameBlock = header.ul_NameBlock;
    if (tableEnd > size || tableEnd > nameBlock) {
        *problem = "has an entry table of " + std::to_string(header.ul_TableSize) +
                   " bytes that does not fit before its name block at " + std::to_string(nameBlock);
        return false;
    }

    // Every item size is added to the table's end; the sum must land on E.
    uint64_t itemsEnd = tableEnd;
    const size_t entries = header.ul_TableSize / NameBlock::kEntrySize;
    std::vector<uint8_t> chunk;
    for (size_t done = 0; done < entries && itemsEnd <= nameBlock;) {
        const size_t n = std::min(entries - done, kTableChunk / NameBlock::kEntrySize);
        chunk.resize(n * NameBlock::kEntrySize);
        if (!PLT::ReadAt(file, Header::kEncodedSize + done * NameBlock::kEntrySize, chunk.data(),
                         chunk.size())) {
            *problem = "cannot be read: " + LastErrorText();
            return false;
        }
        for (size_t i = 0; i < n; ++i)
            itemsEnd +=
                BIG::Endian::Get32(chunk.data() + i * NameBlock::kEntrySize + NameBlock::kOffEntryItemSize);
        done += n;
    }
    if (itemsEnd != nameBlock) {
        *problem = "is not consistent: its data items end at " + std::to_string(itemsEnd) +
                   ", its name block is at " + std::to_string(nameBlock);
        return false;
    }

    uint8_t blockHead[NameBlock::kEncodedSize];
    if (nameBlock > size || size - nameBlock < NameBlock::kEncodedSize ||
        !PLT::ReadAt(file, nameBlock, blockHead, sizeof(blockHead))) {
        *problem = "ends before its name block at " + std::to_string(nameBlock);
        return false;
    }
    const uint32_t listSize = BIG::Endian::Get32(blockHead + NameBlock::kOffListSize);
    const uint64_t listAt = nameBlock + NameBlock::kEncodedSize;
    if (listSize > size - listAt) {
        *problem = "declares a name list of " + std::to_string(listSize) + " bytes but holds only " +
                   std::to_string(size - listAt);
        return false;
    }
    std::string list(listSize, '\0');
    if (listSize != 0 && !PLT::ReadAt(file, listAt, list.data(), list.size())) {
        *problem = "cannot be read: " + LastErrorText();
        return false;
    }

    size_t at = 0;
    while (at < list.size()) {
        const size_t end = list.find('\0', at);
        if (end == std::string::npos) {
            *problem = "ends its name list with an unterminated name of " + std::to_string(list.size() - at) +
                       " bytes; it is ignored";
            break;
        }
        // Runs of NUL bytes are padding, not names.
        if (end > at)
            names->push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return true;
}

bool OVI_SoundsHelper::bNoteName(const std::string& name) {
    return m_soundNames.emplace(OVC_Hash(name.c_str()), name).second;
}

void OVI_SoundsHelper::ReadPackage(const std::string& path, const std::string& name) {
    std::vector<std::string> names;
    std::string problem;
    const bool used = bReadPackageNames(path, &names, &problem);
    // A package that cannot be opened is still copied (or reported) under its own name.
    if (!used) {
        if (PLT::FileExists(path))
            OVC_OutputString("warning", kTag,
                             "OVI_SoundsHelper::CopySoundFiles Sound package %s %s; it adds no names",
                             path.c_str(), problem.c_str());
        return;
    }
    if (!problem.empty())
        OVC_OutputString("warning", kTag, "OVI_SoundsHelper::CopySoundFiles Sound package %s %s",
                         path.c_str(), problem.c_str());
    for (const std::string& listed : names) {
        if (!bIsPlainName(listed)) {
            OVC_OutputString(
                "warning", kTag,
                "OVI_SoundsHelper::CopySoundFiles Sound package %s names \"%s\", not a plain file "
                "name; refused",
                name.c_str(), listed.c_str());
            continue;
        }
        bNoteName(listed);
    }
}

bool OVI_SoundsHelper::bMakeTargetFolders(const std::string& root) {
    const std::string dlc = FolderPath(root, kDlcFolder);
    const std::string english = Join(dlc, kEnglishFolder);
    // The folder named is the one that failed.
    for (const std::string& folder : {dlc, english}) {
        if (bMakeFolder(folder))
            continue;
        OVC_OutputString("error", kTag,
                         "OVI_SoundsHelper::CopySoundFiles Cannot create %s: %s; no sound is copied",
                         folder.c_str(), LastErrorText().c_str());
        return false;
    }
    return true;
}

int OVI_SoundsHelper::CopyOne(const std::string& root, const std::string& name, std::string* rootError) {
    const std::string source = FolderPath(root, kSourceFolder);
    const std::string target = FolderPath(root, kDlcFolder);
    int result = 0;
    if (PLT::CopyFile(Join(source, name), Join(target, name), false))
        result += kCopiedRoot;
    else
        *rootError = Join(source, name) + ": " + LastErrorText();
    // Only the file name's extension changes: a '.' in the data root stays.
    const std::string from = Join(Join(source, kEnglishFolder), ReplaceExtension(name, kEnglishSourceExt));
    const std::string to = Join(Join(target, kEnglishFolder), ReplaceExtension(name, kEnglishTargetExt));
    if (PLT::CopyFile(from, to, false))
        result += kCopiedEnglish;
    return result;
}

int32_t OVI_SoundsHelper::CopySoundFiles(const NameOfKey& nameOf, std::string_view dataRoot, bool noCopy,
                                         bool report) {
    int32_t status = 0;
    if (m_keyMap.empty())
        return status;
    if (dataRoot.empty()) {
        // "/sound_bin_pc" would name a folder of the file system's root.
        OVC_OutputString("error", kTag,
                         "OVI_SoundsHelper::CopySoundFiles No data root; sound packages are not looked for");
        return status;
    }
    const std::string root(dataRoot);
    const std::string sourceFolder = FolderPath(root, kSourceFolder);
    const FolderNames sources(sourceFolder);

    for (const auto& [key, mode] : m_keyMap) {
        (void)mode;
        const std::string recordName = nameOf ? nameOf(key) : std::string();
        const std::string package = PackageNameOf(recordName);
        if (!bIsPlainName(package)) {
            OVC_OutputString(
                "warning", kTag,
                "OVI_SoundsHelper::CopySoundFiles Key 0x%08X gives the package name \"%s\", not a "
                "plain file name; refused",
                key, package.c_str());
            continue;
        }
        const std::string path = Join(sourceFolder, package);
        const bool listed = sources.bMayHold(package);
        uint64_t size = 0;
        if (listed && PLT::FileExists(path) && PLT::GetPathSize(path, &size) && size == 0) {
            OVC_OutputString("error", kTag,
                             "OVI_SoundsHelper::CopySoundFiles Sound package %s of key 0x%08X is empty",
                             path.c_str(), key);
            status = OVC_Status_Failure;
            continue;
        }
        if (bNoteName(package) && listed)
            ReadPackage(path, package);
    }

    if (m_soundNames.empty())
        return status;
    bNoteName(kBasePackage);

    const bool folders = noCopy || bMakeTargetFolders(root);
    if (!folders)
        status = OVC_Status_Failure;
    const bool copy = !noCopy && folders;
    std::string lines;
    // A package the data root does not hold is the game data's gap, reported
    // like a key the bigfile lacks; a package that is there and cannot be
    // copied is this run's failure.
    uint32_t failed = 0;
    uint32_t absent = 0;
    std::string firstFailed;
    std::string firstAbsent;
    const FolderNames englishSources(Join(sourceFolder, kEnglishFolder));
    // Without the folders nothing is copied and the report stays empty.
    for (const auto& [hash, name] : m_soundNames) {
        (void)hash;
        if (!folders)
            break;
        std::string error;
        const bool listed = sources.bMayHold(name);
        int result = 0;
        if (copy && (listed || englishSources.bMayHold(ReplaceExtension(name, kEnglishSourceExt)))) {
            result = CopyOne(root, name, &error);
        } else if (copy) {
            // What the copy of a missing file would have said.
            error = Join(sourceFolder, name) + ": " + PLT::ErrorText(PLT::kErrNotFound);
        }
        if (copy && (result & kCopiedRoot) == 0) {
            const bool there = listed && PLT::FileExists(Join(sourceFolder, name));
            uint32_t& count = there ? failed : absent;
            if (count++ == 0)
                (there ? firstFailed : firstAbsent) = error;
        }
        if (report) {
            const char* word = result == kCopiedRoot + kCopiedEnglish ? "Both"
                               : result == kCopiedRoot                ? "Root"
                                                                      : "Failed";
            lines += ReportLine(name, word);
        }
    }
    if (absent != 0)
        OVC_OutputString(
            "warning", kTag,
            "OVI_SoundsHelper::CopySoundFiles %u of %zu sound packages are not in %s (the first: %s)", absent,
            m_soundNames.size(), sourceFolder.c_str(), firstAbsent.c_str());
    if (failed != 0) {
        OVC_OutputString("error", kTag,
                         "OVI_SoundsHelper::CopySoundFiles %u of %zu sound packages could not be copied (the "
                         "first: %s)",
                         failed, m_soundNames.size(), firstFailed.c_str());
        status = OVC_Status_Failure;
    }
    if (report && !PLT::WriteWholeFile(kReportFile, lines.data(), lines.size())) {
        OVC_OutputString("error", kTag, "OVI_SoundsHelper::CopySoundFiles Cannot write %s: %s", kReportFile,
                         LastErrorText().c_str());
        status = OVC_Status_Failure;
    }
    return status;
}

}  // namespace ORVEX
