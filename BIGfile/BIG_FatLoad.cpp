// Whole-file loads into the table's load buffer.
#include "BIGfile/BIG_ContentHead.h"
#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Extensions.h"
#include "BIGfile/BIG_FBuff.h"
#include "BIGfile/BIG_Fat.h"

namespace {

constexpr uint32_t kLinkFileSize = 20;

// A view over the load buffer that keeps its block alive: a later load that
// needs a larger buffer, or that finds this view still alive, moves on to a
// fresh block instead of freeing or overwriting the bytes shown here.
class LoadBufferView : public BIG::FBuff {
public:
    LoadBufferView(std::shared_ptr<BIG_st_ByteBlock> block, uint32_t size)
        : BIG::FBuff(block->p_Data.get(), size), m_block(std::move(block)) {}

private:
    std::shared_ptr<BIG_st_ByteBlock> m_block;
};

}  // namespace

void BIG_cl_Fat::LoadFile(uint32_t index, BIG::FBuff** out) {
    if (out != nullptr && *out != nullptr) {
        (*out)->Release();
        *out = nullptr;
    }
    if (m_loadBuffer.use_count() > 1) {
        auto fresh = std::make_shared<BIG_st_ByteBlock>();
        fresh->p_Data.reset(new uint8_t[m_loadBuffer->ul_Capacity]);  // "BIG_cl_Fat : Load buffer"
        fresh->ul_Capacity = m_loadBuffer->ul_Capacity;
        m_loadBuffer = std::move(fresh);
    }
    uint32_t length = 0;
    if (!LoadFileInBuffer(index, m_loadBuffer.get(), &length)) {
        if (m_loadBuffer->ul_Capacity >= 4)
            BIG::Endian::Put32(m_loadBuffer->p_Data.get(), 0);
        mpu8_LoadCursor = nullptr;
        mul_LoadRemaining = 0;
        return;
    }
    NoteWholeLoad(index, length);
    mpu8_LoadCursor = m_loadBuffer->p_Data.get();
    // The remaining length is L less four bytes per key the count claims
    // (wrapping as the count is stored, whatever the format).
    BIG_st_ContentHead head;
    BIG_st_ContentHead::bDecodeContent(mpu8_LoadCursor, length, length, &head);
    mul_LoadRemaining = length - static_cast<uint32_t>(BIG_st_ContentHead::kKeySize) * head.ul_RefCount;
    if (out == nullptr)
        return;
    BIG::FBuff* view = new LoadBufferView(m_loadBuffer, length);
    view->AddRef();
    *out = view;
}

void BIG_cl_Fat::NoteWholeLoad(uint32_t index, uint32_t length) {
    if (index >= mul_FileCount)
        return;
    const BIG_st_FileEntry& e = mast_File[index];
    const bool loose = (e.uc_StorageFlags & BIG_st_FileEntry::kStorageLooseKey) != 0;
    if (!loose && e.uc_Type != BIG_Extensions::kTypeTxd) {
        BIG_st_LoadedFileInfo info;
        info.ul_Key = e.ul_Key;
        info.ul_Flags = e.ul_Flags;
        info.uc_Type = e.uc_Type;
        m_keyHolder.RecordLoad(index, length, false, info);
    }
}

void BIG_cl_Fat::GetLinkFileKeys(uint32_t index, uint32_t (&out)[4]) {
    for (uint32_t& v : out)
        v = 0xFFFFFFFF;
    BIG::FBuff* buffer = nullptr;
    LoadFile(index, &buffer);
    if (buffer == nullptr)
        return;
    if (buffer->ul_GetSize() == kLinkFileSize) {
        const BIG_st_FileEntry& e = mast_File[index];
        if (e.uc_Type != BIG_Extensions::kTypeTxd) {
            BIG_st_LoadedFileInfo info;
            info.ul_Key = e.ul_Key;
            info.ul_Flags = e.ul_Flags;
            info.uc_Type = e.uc_Type;
            m_keyHolder.RecordLoad(index, kLinkFileSize, false, info);
        }
        for (int i = 0; i < 4; ++i)
            out[i] = BIG_st_ContentHead::ul_KeyAt(buffer->pc_GetData() + BIG_st_ContentHead::kCountSize, i);
    }
    buffer->Release();
}
