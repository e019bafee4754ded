#include "BIGfile/BIG_KeyHolder.h"

#include "ERRor/ERR_Assert.h"

namespace {

void ReleaseWorlds(BIG_tl_LabeledArray<BIG_st_World>& worlds) {
    for (auto& world : worlds.Items()) {
        world.p_Block.reset();
        world.p_Object.reset();
        world.ul_Size = 0;
        world.ul_Index = BIG_cl_KeyHolder::kNone;
    }
    worlds.Release();
}

}  // namespace

void BIG_cl_BitArray::Resize(uint32_t bits) {
    m_words.resize((size_t{bits} + 31) / 32, 0);
    // Clear the bits past the new end so that growing again starts them clear.
    if (bits & 31)
        m_words.back() &= (1u << (bits & 31)) - 1;
    m_bits = bits;
}

void BIG_cl_BitArray::Release() {
    std::vector<uint32_t>().swap(m_words);
    m_bits = 0;
}

BIG_cl_UniqueWorld::BIG_cl_UniqueWorld() : mast_UniqueWorld("BIG_cl_UniqueWorld::mast_UniqueWorld") {}

BIG_cl_KeyHolder::BIG_cl_KeyHolder() {
    Init();
}

BIG_cl_KeyHolder::~BIG_cl_KeyHolder() {
    Release();
}

void BIG_cl_KeyHolder::Init() {
    Release();
    maul_Key.SetLabel("BIG_cl_KeyHolder::Init : maul_Key");
    maul_ExtraKey.SetLabel("BIG_cl_KeyHolder::Init : maul_ExtraKey");
    maul_Index.SetLabel("BIG_cl_KeyHolder::Init : maul_Index");
    mab_LoadedFile.SetLabel("BIG_cl_KeyHolder::Init : mab_LoadedFile");
    mast_FileData.SetLabel("BIG_cl_KeyHolder::Init : mast_FileData");
    mab_BackupLoadedFile.SetLabel("BIG_cl_KeyHolder::Init : mab_BackupLoadedFile");
    mast_BlockArray.SetLabel("BIG_cl_KeyHolder::Init : mast_BlockArray");
    maul_BlockIndexArray.SetLabel("BIG_cl_KeyHolder::Init : maul_BlockIndexArray");
    maul_SortedBlock.SetLabel("BIG_cl_KeyHolder::Init : maul_SortedBlock");
    m_keyTags.SetLabel("BIG_cl_KeyHolder::Init : m_keyTags");
    mast_World.SetLabel("BIG_cl_KeyHolder::Init : mast_World");
    m_uniqueWorld = std::make_unique<BIG_cl_UniqueWorld>();
}

void BIG_cl_KeyHolder::Release() {
    maul_Key.Release();
    maul_ExtraKey.Release();
    maul_Index.Release();
    mab_LoadedFile.Release();
    mab_BackupLoadedFile.Release();
    mast_FileData.Release();
    mast_BlockArray.Release();
    maul_BlockIndexArray.Release();
    maul_SortedBlock.Release();
    m_keyTags.Release();
    ReleaseWorlds(mast_World);
    if (m_uniqueWorld) {
        ReleaseWorlds(m_uniqueWorld->mast_UniqueWorld);
        m_uniqueWorld.reset();
    }
    m_fileCount = 0;
}

void BIG_cl_KeyHolder::SetFileCount(uint32_t fileCount) {
    mast_FileData.Resize(fileCount);
    mab_LoadedFile.Resize(fileCount);
    mab_BackupLoadedFile.Resize(fileCount);
    m_fileCount = fileCount;
}

const BIG_st_KeyHolderFileData* BIG_cl_KeyHolder::pst_FileData(uint32_t index) const {
    return index < m_fileCount ? &mast_FileData[index] : nullptr;
}

void BIG_cl_KeyHolder::RecordLoad(uint32_t index, uint32_t size, bool extra,
                                  const BIG_st_LoadedFileInfo& info) {
    if (!m_recording)
        return;
    if (index >= m_fileCount) {
        ERR_X_RaisePrintf("Assert", "Index outside array range in ARR_cl_TArray::%s", "operator[]");
        return;
    }
    BIG_st_KeyHolderFileData& data = mast_FileData[index];
    for (size_t i = 0; i < data.aul_WorldMask.size(); ++i)
        data.aul_WorldMask[i] |= m_currentWorldMask[i];
    if (size != kNone)
        data.ul_Size = size + 4;

    if (mab_LoadedFile.b_Get(index))
        return;
    if (info.ul_Flags & kKeptFileFlag) {
        (extra ? maul_ExtraKey : maul_Key).Append(info.ul_Key);
        maul_Index.Append(index);
    }
    if (info.uc_Type != kTypeTxd)
        mab_LoadedFile.Set(index);
}
