#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

// The haproxy configuration the package ships as an example, run in front of the instances on
// `instancePorts` (as many as it names), on a port of its own.
class LoadBalancer
{
public:
    LoadBalancer(const std::filesystem::path& folder, const std::vector<int>& instancePorts);
    ~LoadBalancer();
    LoadBalancer(const LoadBalancer&) = delete;
    LoadBalancer& operator=(const LoadBalancer&) = delete;

    int port() const { return listenPort; }
    std::string log() const;

private:
    pid_t pid = -1;
    int listenPort = 0;
    std::filesystem::path logFile;
};
