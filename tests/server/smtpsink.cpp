#include "smtpsink.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

TestCertificate::TestCertificate(const std::filesystem::path& folder)
    : cert(folder / "cert.pem"), key(folder / "key.pem")
{
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost "
        "-addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
        key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl could not make a test certificate");
}

SmtpSink::SmtpSink(const std::filesystem::path& folder, const TestCertificate& certificate,
                   Options options)
    : inbox(folder)
{
    std::filesystem::create_directories(inbox);
    std::vector<std::string> args{KESTRUNE_TEST_PYTHON,
                                  KESTRUNE_SMTP_SINK,
                                  inbox.string(),
                                  "--cert",
                                  certificate.cert.string(),
                                  "--key",
                                  certificate.key.string(),
                                  "--port",
                                  std::to_string(options.port)};
    if (options.implicitTls)
        args.emplace_back("--implicit-tls");
    if (options.noTls)
        args.emplace_back("--no-tls");
    if (!options.user.empty())
        args.insert(args.end(), {"--user", options.user, "--password", options.password});
    pid = spawnChild(args, inbox.parent_path() / (inbox.filename().string() + ".log"), outFd);
    std::string line;
    if (!readLine(outFd, line, 20000)) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(outFd);
        throw std::runtime_error("the SMTP sink did not start");
    }
    listenPort = std::atoi(line.c_str());
}

SmtpSink::~SmtpSink()
{
    ::kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(outFd);
}

std::vector<std::string> SmtpSink::messages() const
{
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(inbox, ec))
        if (entry.path().extension() == ".eml")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> texts;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        texts.push_back(text.str());
    }
    return texts;
}

std::optional<std::string> SmtpSink::waitForMessage(std::size_t count) const
{
    // Bounded: a retried mail comes within seconds.
    for (int i = 0; i < 750; ++i) {
        const auto received = messages();
        if (received.size() >= count)
            return received[count - 1];
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}
