#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

// Starts `args` (the program's path first) with its stdout on a pipe (returned in `stdoutFd`)
// and its stderr appended to `stderrFile`; returns the child's pid.
pid_t spawnChild(std::vector<std::string> args, const std::filesystem::path& stderrFile,
                 int& stdoutFd);
// Reads one line from the pipe, waiting at most `timeoutMs` (-1: without end); a guard
// against a hung child, not a measurement.
bool readLine(int fd, std::string& line, int timeoutMs);

// A loopback port that nothing listens on at the moment.
int unusedPort();

// A temporary folder removed with everything in it at the end of the test.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir; }

private:
    std::filesystem::path dir;
};

// Runs the real kestrune-server binary as a child process.
class ServerProcess
{
public:
    // Starts `kestrune-server --listen 127.0.0.1:0 --data DATA --stream-delay-ms 0 EXTRA...`
    // and reads the port from the first stdout line.
    ServerProcess(const std::filesystem::path& dataDir, std::vector<std::string> extraArgs = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return listenPort; }
    std::string firstLine() const { return first; }
    std::vector<std::string> stdoutLines();
    std::string stderrText() const;
    // The server writes its console and log lines around the reply, not strictly before it
    // reaches us: wait (bounded) until a line containing `needle` has arrived.
    bool waitForStdout(const std::string& needle);
    bool waitForStderr(const std::string& needle, std::size_t count = 1);

    // SIGKILL, as a crash or power cut would; returns once the process is gone.
    void kill();
    // SIGTERM and wait; returns the exit status.
    int stop();
    // SIGTERM without waiting (waitForExit tells how it ended).
    void terminate();
    // Sets the size past which the server's files cannot grow, as a full disk would; 0 lifts it.
    bool limitFileSize(std::uint64_t bytes);
    // Waits (bounded) for the server to end by itself; its exit status, or -1 if it runs on.
    int waitForExit();

private:
    void reap(int signal);

    int pid = -1;
    int outFd = -1;
    int listenPort = 0;
    std::string first;
    std::filesystem::path stderrFile;
    std::thread reader;
    std::mutex mutex;
    std::vector<std::string> lines;
    int exitStatus = -1;
};

// Runs the binary to completion (admin commands, --help); returns exit code and stdout.
struct CommandResult {
    int exitCode = -1;
    std::string out;
};
CommandResult runServerCommand(const std::vector<std::string>& args);
