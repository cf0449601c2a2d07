#include "serverprocess.h"

#include "database.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::vector<char*> argvOf(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

} // namespace

bool readLine(int fd, std::string& line, int timeoutMs)
{
    line.clear();
    char c;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        const auto n = read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        line += c;
    }
}

pid_t spawnChild(std::vector<std::string> args, const std::filesystem::path& stderrFile,
                 int& stdoutFd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    auto argv = argvOf(args);
    const std::string errPath = stderrFile.string();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    stdoutFd = fds[0];
    return pid;
}

int unusedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TempDir::TempDir()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrune-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

ServerProcess::ServerProcess(const std::filesystem::path& dataDir, std::vector<std::string> extra)
{
    stderrFile = dataDir.parent_path() / (dataDir.filename().string() + ".stderr.log");
    std::vector<std::string> args{KESTRUNE_SERVER_BINARY, "--listen", "127.0.0.1:0", "--data",
                                  dataDir.string(), "--stream-delay-ms", "0",
                                  // A stopped test server has no load balancer to move away first.
                                  "--drain-notice", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    args = withDatabaseArgs(std::move(args));

    pid = spawnChild(args, stderrFile, outFd);
    if (!readLine(outFd, first, 20000)) {
        // No destructor runs for a constructor that throws: the child goes here.
        const std::string log = stderrText();
        reap(SIGKILL);
        throw std::runtime_error("server did not start: " + log);
    }
    const auto colon = first.rfind(':');
    listenPort = std::atoi(first.c_str() + colon + 1);
    reader = std::thread([this] {
        std::string line;
        while (readLine(outFd, line, -1)) {
            std::lock_guard guard(mutex);
            lines.push_back(line);
        }
    });
}

ServerProcess::~ServerProcess()
{
    if (pid > 0)
        reap(SIGKILL);
}

std::vector<std::string> ServerProcess::stdoutLines()
{
    std::lock_guard guard(mutex);
    return lines;
}

std::string ServerProcess::stderrText() const
{
    std::ifstream in(stderrFile);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ServerProcess::waitForStdout(const std::string& needle)
{
    for (int i = 0; i < 500; ++i) {
        for (const auto& line : stdoutLines())
            if (line.find(needle) != std::string::npos)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool ServerProcess::waitForStderr(const std::string& needle, std::size_t count)
{
    for (int i = 0; i < 500; ++i) {
        const std::string text = stderrText();
        std::size_t found = 0;
        for (auto pos = text.find(needle); pos != std::string::npos;
             pos = text.find(needle, pos + 1))
            ++found;
        if (found >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void ServerProcess::reap(int signal)
{
    ::kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid = -1;
    if (reader.joinable())
        reader.join();
    close(outFd);
}

void ServerProcess::kill()
{
    reap(SIGKILL);
}

int ServerProcess::stop()
{
    reap(SIGTERM);
    return exitStatus;
}

void ServerProcess::terminate()
{
    if (pid > 0)
        ::kill(pid, SIGTERM);
}

bool ServerProcess::limitFileSize(std::uint64_t bytes)
{
    rlimit limit{};
    if (prlimit(pid, RLIMIT_FSIZE, nullptr, &limit) != 0)
        return false;
    limit.rlim_cur = bytes == 0 ? limit.rlim_max : bytes;
    return prlimit(pid, RLIMIT_FSIZE, &limit, nullptr) == 0;
}

int ServerProcess::waitForExit()
{
    for (int i = 0; i < 250 && pid > 0; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid = -1;
            if (reader.joinable())
                reader.join();
            close(outFd);
            return exitStatus;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pid > 0 ? -1 : exitStatus;
}

CommandResult runServerCommand(const std::vector<std::string>& extra)
{
    std::vector<std::string> args{KESTRUNE_SERVER_BINARY};
    args.insert(args.end(), extra.begin(), extra.end());
    args = withDatabaseArgs(std::move(args));
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    auto argv = argvOf(args);
    const int pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    CommandResult result;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        result.out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
