#include "plugin/OVI_Gzip.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/File.h"

namespace ORVEX {
namespace {

// zlib's own buffers; larger than a block so that the streams do not make a
// system call per 8 KiB. They change neither the blocks nor the bytes written.
constexpr unsigned kStreamBuffer = 128 * 1024;

struct GzCloser {
    void operator()(gzFile_s* file) const {
        if (file != nullptr)
            gzclose(file);
    }
};
using GzHandle = std::unique_ptr<gzFile_s, GzCloser>;

std::string GzError(gzFile file, const char* what, const std::string& path) {
    int code = Z_OK;
    const char* text = file != nullptr ? gzerror(file, &code) : nullptr;
    std::string message = std::string(what) + " " + path;
    if (code == Z_ERRNO || text == nullptr || text[0] == '\0')
        message += std::string(": ") + std::strerror(errno != 0 ? errno : EIO);
    else
        message += std::string(": ") + text;
    return message;
}

bool bFail(std::string* error, const std::string& message, const std::string& destinationPath) {
    PLT::RemoveFile(destinationPath);
    if (error != nullptr)
        *error = message;
    return false;
}

}  // namespace

bool OVI_bGzipCopy(const std::string& sourcePath, const std::string& destinationPath, std::string* error) {
    errno = 0;
    GzHandle reader(gzopen(sourcePath.c_str(), "rb"));
    if (!reader) {
        if (error != nullptr)
            *error = "cannot open " + sourcePath + ": " + std::strerror(errno != 0 ? errno : ENOENT);
        return false;
    }
    errno = 0;
    GzHandle writer(gzopen(destinationPath.c_str(), "wb"));
    if (!writer)
        return bFail(error,
                     "cannot create " + destinationPath + ": " + std::strerror(errno != 0 ? errno : EIO),
                     destinationPath);
    gzbuffer(reader.get(), kStreamBuffer);
    gzbuffer(writer.get(), kStreamBuffer);
    if (gzsetparams(writer.get(), kGzipLevel, Z_DEFAULT_STRATEGY) != Z_OK)
        return bFail(error, GzError(writer.get(), "cannot set the compression level of", destinationPath),
                     destinationPath);

    std::unique_ptr<char[]> block(new char[kGzipBlockSize]);
    for (;;) {
        const int got = gzread(reader.get(), block.get(), kGzipBlockSize);
        if (got < 0)
            return bFail(error, GzError(reader.get(), "cannot read", sourcePath), destinationPath);
        if (got > 0 && gzwrite(writer.get(), block.get(), static_cast<unsigned>(got)) != got)
            return bFail(error, GzError(writer.get(), "cannot write", destinationPath), destinationPath);
        if (static_cast<uint32_t>(got) < kGzipBlockSize)
            break;
    }
    // Closing flushes the last deflate block and the trailer: its result is
    // the result of the copy.
    errno = 0;
    const int closed = gzclose(writer.release());
    if (closed != Z_OK)
        return bFail(error,
                     "cannot finish " + destinationPath + ": " +
                         (closed == Z_ERRNO ? std::strerror(errno != 0 ? errno : EIO) : zError(closed)),
                     destinationPath);
    return true;
}

}  // namespace ORVEX
