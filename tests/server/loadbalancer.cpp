#include "loadbalancer.h"

#include "serverprocess.h"
#include "testclient.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const auto at = text.find(from);
    if (at == std::string::npos)
        throw std::runtime_error("the haproxy example no longer has " + from);
    return text.replace(at, from.size(), to);
}

} // namespace

LoadBalancer::LoadBalancer(const std::filesystem::path& folder,
                           const std::vector<int>& instancePorts)
{
    std::ifstream in(KESTRUNE_HAPROXY_EXAMPLE);
    std::stringstream example;
    example << in.rdbuf();
    listenPort = unusedPort();
    std::string config = replaced(example.str(), "bind 127.0.0.1:8787",
                                  "bind 127.0.0.1:" + std::to_string(listenPort));
    for (std::size_t i = 0; i < instancePorts.size(); ++i)
        config = replaced(config, "127.0.0.1:" + std::to_string(8788 + i) + " check",
                          "127.0.0.1:" + std::to_string(instancePorts[i]) + " check");
    std::filesystem::create_directories(folder);
    const auto configFile = folder / "haproxy.cfg";
    std::ofstream(configFile) << config;
    logFile = folder / "haproxy.log";

    int out = -1;
    pid = spawnChild({KESTRUNE_HAPROXY, "-db", "-f", configFile.string()}, logFile, out);
    close(out);
    for (int i = 0; i < 200; ++i) {
        if (RawConnection(listenPort).connected())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    throw std::runtime_error("haproxy did not start: " + log());
}

LoadBalancer::~LoadBalancer()
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string LoadBalancer::log() const
{
    std::ifstream in(logFile);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
