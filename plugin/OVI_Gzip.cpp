#include "plugin/OVI_Gzip.h"

#include <libdeflate.h>

#include <memory>
#include <vector>

#include "BIGfile/BIG_Endian.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace ORVEX {
namespace {

// Member header: magic, deflate, no flags, time, no extra flags, Unix.
constexpr size_t kHeaderSize = 10;
constexpr size_t kTrailerSize = 8;  // CRC-32 and size modulo 2^32 of the chunk
constexpr uint8_t kOsUnix = 3;

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

// One chunk and its member.
struct Member {
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    size_t ul_Size = 0;  // bytes of `out` that are the member
};

bool bCompress(libdeflate_compressor* compressor, uint32_t time, Member* m) {
    const size_t bound = libdeflate_deflate_compress_bound(compressor, m->in.size());
    m->out.resize(kHeaderSize + bound + kTrailerSize);
    uint8_t* p = m->out.data();
    const uint8_t header[kHeaderSize] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, kOsUnix};
    std::copy(header, header + kHeaderSize, p);
    BIG::Endian::Put32(p + 4, time);
    const size_t packed =
        libdeflate_deflate_compress(compressor, m->in.data(), m->in.size(), p + kHeaderSize, bound);
    if (packed == 0)
        return false;
    uint8_t* trailer = p + kHeaderSize + packed;
    BIG::Endian::Put32(trailer, libdeflate_crc32(0, m->in.data(), m->in.size()));
    BIG::Endian::Put32(trailer + 4, static_cast<uint32_t>(m->in.size()));
    m->ul_Size = kHeaderSize + packed + kTrailerSize;
    return true;
}

struct FileCloser {
    PLT::FileHandle h;
    ~FileCloser() {
        if (h != PLT::kInvalidFile)
            PLT::CloseFile(h);
    }
};

std::string Reason(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + PLT::ErrorText(PLT::LastError());
}

}  // namespace

bool OVI_bGzipCopy(const std::string& sourcePath, const std::string& destinationPath, std::string* error,
                   uint32_t time) {
    std::string reason;
    bool created = false;
    auto fail = [&]() {
        if (created)
            PLT::RemoveFile(destinationPath);
        if (error != nullptr)
            *error = reason;
        return false;
    };

    FileCloser source{PLT::OpenFile(sourcePath, PLT::Access::eRead, PLT::Disposition::eOpenExisting)};
    uint64_t size = 0;
    if (source.h == PLT::kInvalidFile || !PLT::GetFileSize(source.h, &size)) {
        reason = Reason("cannot open", sourcePath);
        return fail();
    }
    FileCloser destination{
        PLT::OpenFile(destinationPath, PLT::Access::eReadWrite, PLT::Disposition::eCreateAlways)};
    if (destination.h == PLT::kInvalidFile) {
        reason = Reason("cannot create", destinationPath);
        return fail();
    }
    created = true;

    Compressor compressors[2] = {Compressor(libdeflate_alloc_compressor(kGzipLevel)),
                                 Compressor(libdeflate_alloc_compressor(kGzipLevel))};
    if (!compressors[0] || !compressors[1]) {
        reason = "no memory to compress " + destinationPath;
        return fail();
    }

    Member members[2];
    uint64_t readAt = 0;
    uint64_t writeAt = 0;
    bool first = true;
    while (first || readAt < size) {
        first = false;
        // Up to two chunks: the second is compressed on the helper thread.
        size_t count = 0;
        for (Member& m : members) {
            if (count != 0 && readAt >= size)
                break;
            const uint64_t n = std::min<uint64_t>(kGzipChunkSize, size - readAt);
            m.in.resize(static_cast<size_t>(n));
            if (n != 0 && !PLT::ReadAt(source.h, readAt, m.in.data(), m.in.size())) {
                reason = Reason("cannot read", sourcePath);
                return fail();
            }
            readAt += n;
            ++count;
        }
        bool helperOk = true;
        PLT::Thread helper;
        if (count == 2 &&
            !helper.Start("gzip", [&] { helperOk = bCompress(compressors[1].get(), time, &members[1]); }))
            helperOk = bCompress(compressors[1].get(), time, &members[1]);
        const bool ok = bCompress(compressors[0].get(), time, &members[0]);
        if (helper.Joinable())
            helper.Join();
        if (!ok || !helperOk) {
            reason = "cannot compress " + sourcePath;
            return fail();
        }
        for (size_t k = 0; k < count; ++k) {
            if (!PLT::WriteAt(destination.h, writeAt, members[k].out.data(), members[k].ul_Size)) {
                reason = Reason("cannot write", destinationPath);
                return fail();
            }
            writeAt += members[k].ul_Size;
        }
    }
    return true;
}

}  // namespace ORVEX
