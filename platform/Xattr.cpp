#include "platform/Xattr.h"

#include <sys/xattr.h>

#include <cerrno>

#include "platform/internal/SysError.h"

namespace PLT {

bool ReadStream(const std::string& path, const std::string& stream, std::string* value) {
    const std::string name = "user." + stream;
    // The attribute may grow between the size query and the read: retry then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = getxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (size < 0) {
            break;
        }
        value->assign(static_cast<size_t>(size), '\0');
        const ssize_t got = getxattr(path.c_str(), name.c_str(), value->data(), value->size());
        if (got >= 0) {
            value->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            break;
        }
    }
    detail::CaptureErrno();
    value->clear();
    return false;
}

bool WriteStream(const std::string& path, const std::string& stream, const std::string& value) {
    const std::string name = "user." + stream;
    if (setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) {
        detail::CaptureErrno();
        return false;
    }
    return true;
}

}  // namespace PLT
