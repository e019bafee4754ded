#include <vector>

#include "BIGfile/BIG_File.h"
#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_MessageBox.h"
#include "platform/Tarn.h"

#define BIG_FILEED_RAISE(message) ERR_X_Raise("AssertEx", (message))

namespace BIG {

namespace {

constexpr const char* kNotOpened = "The file is not opened!";
constexpr const char* kInvalidParam = "Invalid input parameter!";
constexpr const char* kNotForLocation = "Not implemented for this file location!";
constexpr const char* kRemoteSeparator = ":\\";

// Splits "target:\path" or "prefix:\target:\path" into the target name and
// the remote path "devkit:\path"; any other path goes whole to the default
// target (empty name).
void SplitRemotePath(const std::string& path, std::string* target, std::string* remotePath) {
    const size_t first = path.find(kRemoteSeparator);
    if (first == std::string::npos) {
        target->clear();
        *remotePath = path;
        return;
    }
    const size_t second = path.find(kRemoteSeparator, first + 2);
    if (second == std::string::npos) {
        *target = path.substr(0, first);
        *remotePath = "devkit:\\" + path.substr(first + 2);
    } else {
        *target = path.substr(first + 2, second - first - 2);
        *remotePath = "devkit:\\" + path.substr(second + 2);
    }
}

}  // namespace

struct FileEd::Remote {
    PLT::Tarn::Neighborhood* po_Neighborhood = nullptr;
    std::string s_TargetName;  // empty: the neighbourhood's default target
    std::string s_RemotePath;  // segment 0 on the target
    std::vector<PLT::Tarn::RemoteFile*> apo_Files;

    // The target the bigfile lives on; new segments go there too, so that the
    // set never ends up split across targets.
    PLT::Tarn::TargetPtr Target() const {
        if (po_Neighborhood == nullptr)
            return nullptr;
        return PLT::Tarn::TargetPtr(s_TargetName.empty() ? po_Neighborhood->GetDefaultTarget()
                                                         : po_Neighborhood->GetTarget(s_TargetName));
    }
};

FileEd::FileEd() = default;

FileEd::~FileEd() {
    if (bIsOpen() || m_pRemote) {
        BIG_FILEED_RAISE("Close file before destroying!");
        if (bIsOpen())
            eClose();
        ReleaseRemote();
    }
}

void FileEd::ReleaseRemote() {
    if (!m_pRemote)
        return;
    for (PLT::Tarn::RemoteFile* f : m_pRemote->apo_Files)
        if (f != nullptr)
            f->Release();
    if (m_pRemote->po_Neighborhood != nullptr)
        m_pRemote->po_Neighborhood->Release();
    m_pRemote.reset();
}

void FileEd::ShowMessage(const std::string& text, const std::string& title) {
    ERR_i_MessageBox(text.c_str(), title.c_str(), ERR_MB_OK | ERR_MB_ICONERROR);
}

// ---------------------------------------------------------------- open / close

uint32_t FileEd::eOpen(const std::string& path, bool readOnly, bool acceptSmallFile, bool asynchronous) {
    return eOpen(path, readOnly, acceptSmallFile, asynchronous, 0);
}

uint32_t FileEd::eOpen(const std::string& path, bool readOnly, bool acceptSmallFile, bool asynchronous,
                       uint32_t location) {
    if (location != kLocationRemote) {
        if (!bIsOpen())
            m_ulLocation = location;
        return File::eOpen(path, readOnly, acceptSmallFile, asynchronous);
    }
    if (bIsOpen()) {
        BIG_FILEED_RAISE("Close the file before opening the new one!");
        return eResult(eFile_AlreadyOpen);
    }
    m_ulLocation = location;
    m_sPath = path;
    m_bReadOnly = readOnly;
    m_sOpenProblem.clear();
    m_bAsynchronous = false;  // remote segments have no unbuffered handles
    const uint32_t e = eOpenRemote(path, acceptSmallFile);
    if (e != eFile_Ok && !bIsOpen())
        m_ulLocation = 0;
    return eResult(e);
}

uint32_t FileEd::eOpenRemote(const std::string& path, bool acceptSmallFile) {
    m_pRemote = std::make_unique<Remote>();
    m_pRemote->po_Neighborhood = PLT::Tarn::Neighborhood::Create();
    SplitRemotePath(path, &m_pRemote->s_TargetName, &m_pRemote->s_RemotePath);

    if (!m_pRemote->Target()) {
        ReleaseRemote();
        return eFile_CannotOpen;
    }
    uint32_t e = eOpenRemoteSegment(m_pRemote->s_RemotePath, true, acceptSmallFile);
    for (unsigned k = 1; e == eFile_Ok && k < m_ucHeaderSegmentCount; ++k)
        e = eOpenRemoteSegment(SegmentFileName(m_pRemote->s_RemotePath, k), false, true);
    if (e != eFile_Ok) {
        m_aSegments.clear();
        ReleaseRemote();
        return e;
    }
    // eValidateSegments closes everything itself on failure.
    return eValidateSegments();
}

uint32_t FileEd::eOpenRemoteSegment(const std::string& remotePath, bool first, bool acceptSmallFile) {
    const PLT::Tarn::TargetPtr target = m_pRemote->Target();
    PLT::Tarn::RemoteFilePtr file(target ? target->OpenFile(remotePath) : nullptr);
    if (!file) {
        if (!first)
            ShowOpenProblem("Error opening " + remotePath);
        return eFile_CannotOpen;
    }
    if (!acceptSmallFile) {
        uint8_t probe = 0;  // a file that holds byte 256 is more than 256 bytes long
        if (file->Read(File::kSmallFileLimit, &probe, 1) != 1)
            return eFile_CannotOpen;
    }
    FileSegment segment;
    const uint32_t e = eReadTarnFileHeader(file.get(), &segment, first);
    if (e != eFile_Ok) {
        ShowOpenProblem("Error reading " + (first ? m_sPath : remotePath) +
                        "\n(Error reading segment header)");
        return e;
    }
    m_aSegments.push_back(segment);
    m_pRemote->apo_Files.push_back(file.release());
    return eFile_Ok;
}

bool FileEd::bSegmentFileHolds(uint16_t index, uint64_t localEnd, uint64_t* size) {
    if (!bIsRemote())
        return File::bSegmentFileHolds(index, localEnd, size);
    // The remote layer tells no sizes: a file that holds the last claimed byte is long enough.
    *size = 0;
    uint8_t probe = 0;
    return index < m_pRemote->apo_Files.size() && localEnd != 0 &&
           m_pRemote->apo_Files[index]->Read(localEnd - 1, &probe, 1) == 1;
}

uint32_t FileEd::eReadTarnFileHeader(PLT::Tarn::RemoteFile* file, FileSegment* out, bool first) {
    if (file == nullptr || out == nullptr) {
        BIG_FILEED_RAISE("Invalid input parameter");
        return eResult(eFile_InvalidParameter);
    }
    uint8_t bytes[BIG_st_SegmentHeader::kEncodedSize];
    if (file->Read(0, bytes, sizeof bytes) != sizeof bytes)
        return eResult(eFile_ReadFailed);
    return eInterpretFileHeader(bytes, sizeof bytes, out, first);
}

uint32_t FileEd::eClose() {
    if (!bIsRemote())
        return File::eClose();
    if (!bIsOpen()) {
        BIG_FILEED_RAISE(kNotOpened);
        ReleaseRemote();
        return eResult(eFile_NotOpen);
    }
    m_aSegments.clear();
    ReleaseRemote();
    m_ulLocation = 0;
    return eResult(eFile_Ok);
}

// ---------------------------------------------------------------- transfers

uint32_t FileEd::eRead(BIG_POS position, void* buffer, uint32_t count, uint64_t extra) {
    if (!bIsRemote())
        return File::eRead(position, buffer, count, extra);
    uint32_t e = eCheckTransfer(position, buffer);
    if (e != eFile_Ok)
        return eResult(e);
    FileIOParams params;
    e = eGetReadParams(&params, position, count, extra);
    if (e != eFile_Ok)
        return eResult(e);
    if (params.uw_Segment >= m_pRemote->apo_Files.size() ||
        m_pRemote->apo_Files[params.uw_Segment] == nullptr) {
        BIG_FILEED_RAISE("Could not find the file to read!");
        return eResult(eFile_InvalidParameter);
    }
    if (params.ul_Count != count) {
        BIG_FILEED_RAISE("The read goes out of the segment!");
        return eResult(eFile_InvalidParameter);
    }
    if (count != 0 &&
        m_pRemote->apo_Files[params.uw_Segment]->Read(params.ul_LocalOffset, buffer, count) != count)
        return eResult(eFile_ReadFailed);
    return eResult(eFile_Ok);
}

uint32_t FileEd::eWrite(BIG_POS position, const void* buffer, uint32_t count, uint64_t extra) {
    if (!bIsRemote())
        return File::eWrite(position, buffer, count, extra);
    uint32_t e = eCheckTransfer(position, buffer);
    if (e != eFile_Ok)
        return eResult(e);
    const size_t segmentsBefore = m_aSegments.size();
    const BIG_POS endBefore = m_aSegments.back().o_End;
    FileIOParams params;
    e = eGetWriteParams(&params, position, count, extra);
    if (e != eFile_Ok)
        return eResult(e);
    if (params.uw_Segment >= m_pRemote->apo_Files.size() ||
        m_pRemote->apo_Files[params.uw_Segment] == nullptr) {
        BIG_FILEED_RAISE(kInvalidParam);
        RollBackExtension(segmentsBefore, endBefore);
        return eResult(eFile_InvalidParameter);
    }
    if (count != 0 &&
        m_pRemote->apo_Files[params.uw_Segment]->Write(params.ul_LocalOffset, buffer, count) != count) {
        RollBackExtension(segmentsBefore, endBefore);
        return eResult(eFile_WriteFailed);
    }
    return eResult(eRefreshHeaders());
}

uint32_t FileEd::eFlush() {
    if (!bIsRemote())
        return File::eFlush();
    return eResult(eFile_Ok);
}

uint32_t FileEd::eWriteFileHeader(uint16_t segment) {
    if (!bIsRemote())
        return File::eWriteFileHeader(segment);
    if (segment >= m_pRemote->apo_Files.size() || m_pRemote->apo_Files[segment] == nullptr) {
        BIG_FILEED_RAISE(kInvalidParam);
        return eResult(eFile_InvalidParameter);
    }
    uint8_t bytes[BIG_st_SegmentHeader::kEncodedSize];
    const uint32_t e = eEncodeHeader(segment, bytes);
    if (e != eFile_Ok)
        return eResult(e);
    if (m_pRemote->apo_Files[segment]->Write(0, bytes, sizeof bytes) != sizeof bytes)
        return eResult(eFile_WriteFailed);
    return eResult(eFile_Ok);
}

// ---------------------------------------------------------------- segments

uint32_t FileEd::eAddSegment(bool smallHeader) {
    if (!bIsRemote())
        return File::eAddSegment(smallHeader);
    FileSegment segment;
    uint32_t e = eNewSegmentLayout(smallHeader, &segment);
    if (e != eFile_Ok)
        return eResult(e);
    const size_t k = m_aSegments.size();
    const std::string name =
        k == 0 ? m_pRemote->s_RemotePath : SegmentFileName(m_pRemote->s_RemotePath, static_cast<unsigned>(k));
    const PLT::Tarn::TargetPtr target = m_pRemote->Target();
    PLT::Tarn::RemoteFile* file = target ? target->CreateFile(name) : nullptr;
    if (file == nullptr)
        return eResult(eFile_CannotOpen);
    m_aSegments.push_back(segment);
    m_pRemote->apo_Files.push_back(file);
    if (m_aSegments.size() != m_pRemote->apo_Files.size())
        BIG_FILEED_RAISE("Invalid internal state!");
    m_ucHeaderSegmentCount = static_cast<uint8_t>(m_aSegments.size());

    e = eRefreshHeaders();
    if (e != eFile_Ok && m_aSegments.size() > 1) {
        // Take the segment back so the headers keep describing files that exist.
        m_pRemote->apo_Files.back()->Release();
        m_pRemote->apo_Files.pop_back();
        m_aSegments.pop_back();
        m_ucHeaderSegmentCount = static_cast<uint8_t>(m_aSegments.size());
        eRefreshHeaders();
    }
    return eResult(e);
}

uint32_t FileEd::eRemoveSegment() {
    if (!bIsRemote())
        return File::eRemoveSegment();
    // The remote layer cannot delete files.
    BIG_FILEED_RAISE(kNotForLocation);
    return eResult(eFile_NotSupported);
}

uint32_t FileEd::eSetEndOfFile(BIG_POS position) {
    if (!bIsOpen()) {
        BIG_FILEED_RAISE(kNotOpened);
        return eResult(eFile_NotOpen);
    }
    if (bIsRemote()) {
        BIG_FILEED_RAISE(kNotForLocation);
        return eResult(eFile_NotSupported);
    }
    const int index = position.bIsNone() ? -1 : iFindSegment(position.ull_GetByteOffset());
    if (index < 0) {
        BIG_FILEED_RAISE(kInvalidParam);
        return eResult(eFile_InvalidParameter);
    }
    while (m_aSegments.size() > static_cast<size_t>(index) + 1) {
        const uint32_t e = eRemoveSegment();
        if (e != eFile_Ok)
            return eResult(e);
    }
    FileIOParams params;
    uint32_t e = eGetReadParams(&params, position, 1);
    if (e != eFile_Ok)
        return eResult(e);
    FileSegment& segment = m_aSegments[index];
    if (params.h_File != segment.h_File) {
        BIG_FILEED_RAISE("Files do not match!");
        return eResult(eFile_InvalidParameter);
    }
    // A header never claims bytes its file does not hold: a shorter end is
    // written before the file is cut, a longer one after it grows, so that a
    // failure in between leaves only bytes past the claim, which readers ignore.
    const BIG_POS oldEnd = segment.o_End;
    if (position.ull_GetByteOffset() < oldEnd.ull_GetByteOffset()) {
        segment.o_End = position;
        e = eRefreshHeaders();
        if (e != eFile_Ok) {
            segment.o_End = oldEnd;
            return eResult(e);
        }
        if (!PLT::SetFileEnd(params.h_File, params.ul_LocalOffset))
            return eResult(eFile_SetEndFailed);
        return eResult(eFile_Ok);
    }
    if (!PLT::SetFileEnd(params.h_File, params.ul_LocalOffset))
        return eResult(eFile_SetEndFailed);
    segment.o_End = position;
    return eResult(eRefreshHeaders());
}

}  // namespace BIG
