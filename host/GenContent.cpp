// File contents, sound packages and the critical list of a generation.
#include "host/GenContent.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "BIGfile/BIG_Endian.h"
#include "BIGfile/BIG_Fat.h"
#include "host/GenRandom.h"
#include "platform/File.h"

namespace HOST::GEN {
namespace {

namespace LE = BIG::Endian;

// 2010-01-01, and four years after it: where the seeded time stamps lie.
constexpr uint32_t kTimeBase = 1262304000u;
constexpr uint32_t kTimeSpread = 4u * 365u * 86400u;
constexpr uint32_t kYear = 365u * 86400u;

// A generic payload starts with: extension (4 bytes, zero-padded), key,
// ordinal, payload size. The rest is seeded filler with five bits of noise a
// byte, about as compressible as real game data.
constexpr uint32_t kPayloadHeader = 16;
constexpr uint64_t kFillerMask = 0x1F1F1F1F1F1F1F1Full;
constexpr uint32_t kMinPayload = kPayloadHeader;

enum Tag : uint64_t {
    kTagTime = 101,
    kTagSize,
    kTagFill,
    kTagPackage,
    kTagEnglish,
    kTagItems,
    kTagNames,
};

struct SizeRange {
    uint32_t lo, hi;  // powers of two
};

SizeRange PayloadRange(uint8_t kind) {
    switch (kind) {
        case kObject:
            return {256, 2048};
        case kMesh:
            return {1024, 65536};
        case kMaterial:
            return {128, 1024};
        case kTexture:
            return {64, 262144};  // from a few bytes to a quarter MB: the widest spread
        case kImage:
            return {1024, 131072};
        case kDds:
            return {2048, 262144};
        case kSkeleton:
            return {1024, 8192};
        case kAnim:
            return {1024, 32768};
        case kSound:
            return {128, 1024};
        case kEffect:
            return {512, 16384};
        case kCollision:
            return {1024, 32768};
        case kNav:
            return {2048, 65536};
        case kAi:
            return {512, 8192};
        case kParticle:
            return {512, 4096};
        case kWorld:
            return {512, 2048};
        case kSector:
            return {64, 256};
        case kInterface:
            return {256, 65536};
        case kCache:
            return {1024, 16384};
        case kUnneeded:
            return {1024, 65536};
        default:
            return {256, 4096};
    }
}

uint32_t Scaled(const Plan& plan, uint32_t size) {
    const uint64_t scaled = uint64_t{size} * plan.ul_SizeScaleMilli / 1000;
    return static_cast<uint32_t>(std::max<uint64_t>(scaled, kMinPayload));
}

// Seeded filler, written little-endian a word at a time.
void Fill(uint8_t* out, size_t size, uint64_t seed) {
    Stream stream(seed);
    size_t i = 0;
    for (; i + 8 <= size; i += 8)
        LE::Put64(out + i, stream.Next() & kFillerMask);
    if (i < size) {
        uint8_t last[8];
        LE::Put64(last, stream.Next() & kFillerMask);
        std::memcpy(out + i, last, size - i);
    }
}

void GenericPayload(uint8_t* out, uint32_t size, const char* ext, uint32_t key, uint32_t ordinal,
                    uint64_t seed) {
    char tag[4] = {};
    std::strncpy(tag, ext, 3);
    LE::ByteWriter w(out, size);
    w.Bytes(0, tag, 4);
    w.U32(4, key);
    w.U32(8, ordinal);
    w.U32(12, size);
    Fill(out + kPayloadHeader, size - kPayloadHeader, Hash(seed, kTagFill, key));
}

std::vector<uint8_t> BankPayload(const PlanBank& bank, uint32_t key) {
    std::vector<uint8_t> out;
    LE::ByteAppender a(&out);
    a.U8(bank.uc_Id);
    a.U8(static_cast<uint8_t>(bank.elements.size()));
    for (const PlanElement& e : bank.elements) {
        a.U8(e.uc_Id);
        if (e.ul_Key == 0) {
            char name[48];
            const int n = std::snprintf(name, sizeof name, "fx_placeholder_%08X_%u", key, e.uc_Id);
            a.U8(kMarkerNamed);
            a.Bytes(name, static_cast<size_t>(n) + 1);
        } else {
            a.U8(kMarkerKeyed);
        }
        a.U16(static_cast<uint16_t>(e.subRefs.size()));
        for (const auto& r : e.subRefs) {
            a.U8(r.first);
            a.U8(r.second);
        }
    }
    return out;
}

// Stores reference table + payload through the table's save buffer.
uint32_t Store(BIG_cl_Fat& fat, uint32_t fatIndex, const uint32_t* refs, uint32_t refCount,
               const uint8_t* payload, uint32_t size) {
    fat.PrepareSaveBuffer(size);
    for (uint32_t r = 0; r < refCount; ++r)
        fat.AddSaveReference(refs[r]);
    if (size != 0)
        std::memcpy(fat.pu8_GetSaveBuffer(), payload, size);
    fat.SetSaveBufferUsed(size);
    fat.SaveBufferInFile(fatIndex);
    return 4 + 4 * refCount + size;
}

std::string EnglishName(const std::string& package) {
    return package.substr(0, package.find('.')) + ".lpk";
}

std::string SharedPackage(uint32_t n) {
    char name[32];
    std::snprintf(name, sizeof name, "Common_sfx_%03u.pk", n);
    return name;
}

std::string MusicPackage(const std::string& world) {
    return world + "_music.pk";
}

// Writes one package; items are made in pieces so a large one needs little memory.
bool WritePackage(const std::string& path, uint64_t seed, const std::vector<uint32_t>& items,
                  const std::vector<std::string>& names, uint64_t* bytes, std::string* error) {
    const uint32_t table = static_cast<uint32_t>(items.size() * 8);
    uint64_t data = 0;
    for (uint32_t size : items)
        data += size;
    const uint64_t nameBlock = uint64_t{kPackageHeaderSize} + table + data;
    std::vector<uint8_t> head(kPackageHeaderSize + table, 0);
    LE::ByteWriter w(head.data(), head.size());
    w.U32(0, kPackageMagic);
    w.U32(4, table);
    w.U32(8, static_cast<uint32_t>(nameBlock));
    w.U32(12, static_cast<uint32_t>(items.size()));
    w.U32(16, kPackageSampleRate);
    uint32_t offset = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        w.U32(kPackageHeaderSize + 8 * i, offset);
        w.U32(kPackageHeaderSize + 8 * i + 4, items[i]);
        offset += items[i];
    }
    std::vector<uint8_t> tail;
    LE::ByteAppender t(&tail);
    uint32_t nameBytes = 0;
    for (const std::string& n : names)
        nameBytes += static_cast<uint32_t>(n.size() + 1);
    t.U32(static_cast<uint32_t>(names.size()));
    t.U32(nameBytes);
    for (const std::string& n : names)
        t.Bytes(n.c_str(), n.size() + 1);

    const PLT::FileHandle file =
        PLT::OpenFile(path, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways);
    if (file == PLT::kInvalidFile) {
        *error = "cannot create " + path + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    bool ok = PLT::WriteAt(file, 0, head.data(), head.size());
    uint64_t at = head.size();
    std::vector<uint8_t> piece(65536);
    for (size_t i = 0; ok && i < items.size(); ++i) {
        Stream stream(Hash(seed, kTagItems, i));
        for (uint32_t done = 0; ok && done < items[i];) {
            const uint32_t n = std::min<uint32_t>(items[i] - done, static_cast<uint32_t>(piece.size()));
            for (uint32_t b = 0; b < n; b += 8) {
                uint8_t word[8];
                LE::Put64(word, stream.Next() & kFillerMask);
                std::memcpy(piece.data() + b, word, std::min<uint32_t>(8, n - b));
            }
            ok = PLT::WriteAt(file, at, piece.data(), n);
            at += n;
            done += n;
        }
    }
    ok = ok && PLT::WriteAt(file, at, tail.data(), tail.size());
    if (!ok)
        *error = "cannot write " + path + ": " + PLT::ErrorText(PLT::LastError());
    PLT::CloseFile(file);
    *bytes += at + tail.size();
    return ok;
}

std::vector<uint32_t> ItemSizes(const Plan& plan, uint64_t hash, uint32_t minCount, uint32_t maxCount,
                                uint32_t lo, uint32_t hi) {
    std::vector<uint32_t> items(minCount + Below(hash, maxCount - minCount + 1));
    for (size_t i = 0; i < items.size(); ++i)
        items[i] = Scaled(plan, OctaveSize(Mix64(hash + i + 1), lo, hi));
    return items;
}

}  // namespace

uint32_t FileTime(const Plan& plan, uint32_t key) {
    const uint32_t base = kTimeBase + static_cast<uint32_t>(Hash(plan.ull_Seed, kTagTime) % kTimeSpread);
    return base + static_cast<uint32_t>(Hash(plan.ull_Seed, kTagTime, key) % kYear);
}

uint32_t WriteFileContent(BIG_cl_Fat& fat, const Plan& plan, uint32_t index, uint32_t fatIndex) {
    const PlanFile& f = plan.files[index];
    const uint32_t* refs = plan.pul_Refs(index);
    const uint32_t refCount = plan.ul_RefCount(index);
    switch (f.uc_Kind) {
        case kLink:
            // Always four values: kind-1, kind-2 and kind-4 targets, then none.
            if (refCount != 4)
                return 0;
            fat.SaveLinkFile(fatIndex, refs[0], refs[1], refs[2], refs[3]);
            return 20;
        case kBank: {
            const std::vector<uint8_t> payload = BankPayload(plan.banks[f.ul_Aux], f.ul_Key);
            return Store(fat, fatIndex, refs, refCount, payload.data(),
                         static_cast<uint32_t>(payload.size()));
        }
        case kBankList: {
            if (refCount > 0xFF)
                return 0;
            const uint8_t count = static_cast<uint8_t>(refCount);
            return Store(fat, fatIndex, refs, refCount, &count, 1);
        }
        case kElementRefList: {
            const auto& list = plan.elementRefLists[f.ul_Aux];
            std::vector<uint8_t> payload;
            LE::ByteAppender a(&payload);
            a.U16(static_cast<uint16_t>(list.size()));
            for (const auto& r : list) {
                a.U8(r.first);
                a.U8(r.second);
            }
            return Store(fat, fatIndex, refs, refCount, payload.data(),
                         static_cast<uint32_t>(payload.size()));
        }
        default: {
            const SizeRange range = PayloadRange(f.uc_Kind);
            const uint32_t size =
                Scaled(plan, OctaveSize(Hash(plan.ull_Seed, kTagSize, f.ul_Key), range.lo, range.hi));
            // Built in place in the save buffer: no second copy of a large content.
            fat.PrepareSaveBuffer(size);
            for (uint32_t r = 0; r < refCount; ++r)
                fat.AddSaveReference(refs[r]);
            GenericPayload(fat.pu8_GetSaveBuffer(), size, TypeExtension(f.uc_Type), f.ul_Key, f.ul_Ordinal,
                           plan.ull_Seed);
            fat.SetSaveBufferUsed(size);
            fat.SaveBufferInFile(fatIndex);
            return 4 + 4 * refCount + size;
        }
    }
}

uint32_t WritePlainContent(BIG_cl_Fat& fat, uint64_t seed, uint32_t key, uint32_t size, uint32_t fatIndex) {
    size = std::max(size, kMinPayload);
    fat.PrepareSaveBuffer(size);
    GenericPayload(fat.pu8_GetSaveBuffer(), size, "txd", key, 0, seed);
    fat.SetSaveBufferUsed(size);
    fat.SaveBufferInFile(fatIndex);
    return 4 + size;
}

std::string PackageName(const Plan& plan, uint32_t index) {
    const std::string name = FileName(plan, index);
    return name.substr(0, name.find('.')) + ".pk";
}

bool WriteSoundPackages(const Plan& plan, const std::string& dataRoot, PackageStats* stats,
                        std::string* error) {
    const std::string root = dataRoot + "/sound_bin_pc/";
    const std::string english = root + "english/";
    const uint64_t seed = plan.ull_Seed;
    auto write = [&](const std::string& name, uint64_t h, const std::vector<uint32_t>& items,
                     const std::vector<std::string>& names, bool withEnglish) {
        if (!WritePackage(root + name, Hash(seed, kTagPackage, h), items, names, &stats->ull_Bytes, error))
            return false;
        ++stats->ul_Packages;
        if (!withEnglish)
            return true;
        const std::vector<uint32_t> voice = ItemSizes(plan, Hash(seed, kTagEnglish, h), 1, 1, 1024, 16384);
        if (!WritePackage(english + EnglishName(name), Hash(seed, kTagEnglish, h, 1), voice, {},
                          &stats->ull_Bytes, error))
            return false;
        ++stats->ul_English;
        return true;
    };

    // The engine's own package, which the splitter always copies.
    if (!write("7fffffff.pk", 0, ItemSizes(plan, Hash(seed, kTagItems, 0), 1, 2, 4096, 65536), {}, true))
        return false;
    for (uint32_t n = 0; n < plan.ul_SharedPackages; ++n) {
        const uint64_t h = Hash(seed, kTagItems, 1, n);
        if (!write(SharedPackage(n), h, ItemSizes(plan, h, 1, 2, 4096, 65536), {}, true))
            return false;
    }
    for (size_t w = 0; w < plan.worlds.size(); ++w) {
        const uint64_t h = Hash(seed, kTagItems, 2, w);
        const std::vector<std::string> names = {
            SharedPackage(static_cast<uint32_t>(w % plan.ul_SharedPackages))};
        if (!write(MusicPackage(plan.worlds[w].s_Name), h, ItemSizes(plan, h, 2, 4, 16384, 131072), names,
                   true))
            return false;
    }
    for (uint32_t i = 0; i < plan.files.size(); ++i) {
        const PlanFile& f = plan.files[i];
        if (f.uc_Kind != kSound || i == plan.ul_NoPackageSound)
            continue;
        const uint64_t h = Hash(seed, kTagNames, f.ul_Key);
        std::vector<std::string> names;
        if (f.uw_Pool == kSharedPool) {
            names.push_back(SharedPackage(Below(h, plan.ul_SharedPackages)));
        } else {
            names.push_back(MusicPackage(PoolName(plan, f.uw_Pool)));
            if (Percent(h, 50))
                names.push_back(SharedPackage(Below(Mix64(h), plan.ul_SharedPackages)));
            if (Percent(Mix64(h + 1), 20))
                names.push_back(SharedPackage(Below(Mix64(h + 2), plan.ul_SharedPackages)));
        }
        // Every ninth sound has no English variant.
        if (!write(PackageName(plan, i), f.ul_Key, ItemSizes(plan, h, 1, 3, 512, 32768), names,
                   f.ul_Ordinal % 9 != 4))
            return false;
    }
    return true;
}

std::string CriticalList(const Plan& plan, uint32_t* lines) {
    std::string out;
    *lines = 0;
    auto line = [&](const std::string& name, uint32_t key, uint32_t type, uint32_t refs) {
        char text[160];
        std::snprintf(text, sizeof text, "%s %u %u %u\n", name.c_str(), key, type, refs);
        out += text;
        ++*lines;
    };
    auto file = [&](uint32_t i) {
        line(FileName(plan, i), plan.files[i].ul_Key, plan.files[i].uc_Type, plan.ul_RefCount(i));
    };
    for (const PlanPool& pool : plan.worlds) {
        file(pool.ul_WorldFile);
        file(pool.ul_First[kTexture]);
    }
    for (uint32_t t = 0; t < std::min<uint32_t>(3, plan.shared.ul_Count[kTexture]); ++t)
        file(plan.shared.ul_First[kTexture] + t);
    for (uint32_t i = 0; i < plan.files.size(); ++i) {
        if (plan.files[i].uc_Kind == kUnneeded) {
            file(i);
            break;
        }
    }
    line("Missing_resource.txd", (kMissingUserId << 20) | 0xFFFFF, 126, 0);
    file(plan.worlds[0].ul_WorldFile);  // listed twice: counted once
    return out;
}

}  // namespace HOST::GEN
