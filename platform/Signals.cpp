#include "platform/Signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/internal/SysError.h"

namespace PLT {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};
constexpr int kMaxDepth = 4;

volatile sig_atomic_t g_signal = 0;
// What each nested CatchInterrupts replaced, per signal.
struct sigaction g_saved[kMaxDepth][2];
int g_depth = 0;
// The handler that was there when the innermost call installed ours.
void (*volatile g_previous[2])(int) = {nullptr, nullptr};

void OnSignal(int signal) {
    g_signal = signal;
    for (size_t i = 0; i < 2; ++i)
        if (kSignals[i] == signal && g_previous[i] != nullptr)
            g_previous[i](signal);
}

}  // namespace

void CatchInterrupts() {
    if (g_depth >= kMaxDepth)
        return;
    struct sigaction action = {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking wait must return
    for (size_t i = 0; i < 2; ++i) {
        sigaction(kSignals[i], &action, &g_saved[g_depth][i]);
        const struct sigaction& old = g_saved[g_depth][i];
        const bool function = (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler != SIG_DFL &&
                              old.sa_handler != SIG_IGN && old.sa_handler != &OnSignal;
        g_previous[i] = function ? old.sa_handler : nullptr;
    }
    ++g_depth;
}

void ReleaseInterrupts() {
    if (g_depth == 0)
        return;
    --g_depth;
    for (size_t i = 0; i < 2; ++i) {
        sigaction(kSignals[i], &g_saved[g_depth][i], nullptr);
        g_previous[i] = nullptr;
    }
}

bool InterruptRequested() {
    return g_signal != 0;
}

int InterruptSignal() {
    return g_signal;
}

void ClearInterrupt() {
    g_signal = 0;
}

bool IsWritableDirectory(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(path.c_str(), W_OK | X_OK) != 0) {
        detail::CaptureErrno();
        return false;
    }
    return true;
}

FolderLock::~FolderLock() {
    Unlock();
}

FolderLock::Result FolderLock::eLock(const std::string& path, bool wait) {
    Unlock();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        detail::CaptureErrno();
        return Result::eFailed;
    }
    for (;;) {
        if (::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) {
            m_fd = fd;
            return Result::eLocked;
        }
        const int error = errno;
        if (error == EINTR && !InterruptRequested())
            continue;
        detail::CaptureErrno();
        ::close(fd);
        if (error == EINTR)
            return Result::eInterrupted;
        return error == EWOULDBLOCK ? Result::eBusy : Result::eFailed;
    }
}

void FolderLock::Unlock() {
    if (m_fd < 0)
        return;
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace PLT
