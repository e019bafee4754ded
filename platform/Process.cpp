#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace PLT {
namespace {

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> EditedEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string current(*entry);
        bool replaced = false;
        for (const std::string& change : changes)
            replaced = replaced || NameOf(change) == NameOf(current);
        if (!replaced)
            env.push_back(current);
    }
    for (const std::string& change : changes) {
        if (change.find('=') != std::string::npos)
            env.push_back(change);
    }
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Reads both pipes until each reaches end of file.
void Drain(int outFd, int errFd, std::string* out, std::string* err) {
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return std::string();
    return std::string(path, static_cast<size_t>(length));
}

bool RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& envChanges,
                ProcessResult* result) {
    *result = ProcessResult();
    if (argv.empty())
        return false;

    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        CloseIfOpen(outPipe[0]);
        CloseIfOpen(outPipe[1]);
        return false;
    }

    std::vector<std::string> args = argv;
    std::vector<std::string> env = EditedEnvironment(envChanges);
    std::vector<char*> argPointers = Pointers(args);
    std::vector<char*> envPointers = Pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, argPointers[0], &actions, nullptr, argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    CloseIfOpen(outPipe[1]);
    CloseIfOpen(errPipe[1]);
    if (spawned != 0) {
        CloseIfOpen(outPipe[0]);
        CloseIfOpen(errPipe[0]);
        return false;
    }

    Drain(outPipe[0], errPipe[0], &result->out, &result->err);
    CloseIfOpen(outPipe[0]);
    CloseIfOpen(errPipe[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    if (WIFEXITED(status)) {
        result->exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result->signal = WTERMSIG(status);
    }
    return true;
}

}  // namespace PLT

namespace PLT {

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

std::string GetEnvironmentVariable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

}  // namespace PLT
