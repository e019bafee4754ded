#include "plugin/OVI_LinkerConvert.h"

#include <vector>

#include "platform/File.h"
#include "orvex/OVC_Interface.h"

namespace ORVEX {

int32_t OVI_LinkerConvert::AddLink(uint32_t ulKey, uint32_t ulTarget) {
    return bAppendLink(ulKey, ulTarget) ? 0 : -1;
}

int32_t OVI_LinkerConvert::Save(const char* path) {
    if (path == nullptr || *path == '\0')
        return -1;
    std::vector<uint8_t> bytes;
    EncodeTo(&bytes);
    if (!PLT::WriteWholeFile(path, bytes.data(), bytes.size()))
        return -1;
    m_FileName = path;
    return 0;
}

int32_t OVI_LinkerConvert::Load() {
    mb_LastLoadRead = false;
    mul_LastLoadLinkCount = 0;
    std::string data;
    if (!PLT::FileExists(m_FileName) || !PLT::ReadWholeFile(m_FileName, &data) || data.empty())
        return 0;

    BIG_cl_Linker loaded(0, 0);
    const Decode result = loaded.eDecode(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    if (result == Decode::eOk) {
        mb_LastLoadRead = true;
        mul_LastLoadLinkCount = loaded.ul_GetLinkCount();
    } else if (result != Decode::eNewerVersion) {
        OVC_OutputString("error", "linker", "Unable to read linker map %s (%zu bytes): %s",
                         m_FileName.c_str(), data.size(), DecodeText(result));
    }
    return 0;
}

}  // namespace ORVEX
