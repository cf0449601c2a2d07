#pragma once

#include "serverprocess.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A self-signed certificate for 127.0.0.1 and localhost, made with the openssl command.
struct TestCertificate {
    explicit TestCertificate(const std::filesystem::path& folder);
    std::filesystem::path cert;
    std::filesystem::path key;
};

// The SMTP server of smtp_sink.py on loopback, receiving into a folder of its own.
class SmtpSink
{
public:
    struct Options {
        bool implicitTls = false;
        bool noTls = false; // offers neither STARTTLS nor TLS
        std::string user;   // empty: no login asked
        std::string password;
        int port = 0; // 0: any free port
    };

    SmtpSink(const std::filesystem::path& folder, const TestCertificate& certificate,
             Options options);
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    int port() const { return listenPort; }
    // The messages received so far, oldest first, each with its "X-Sink-" envelope lines.
    std::vector<std::string> messages() const;
    // Waits (bounded) until `count` messages have arrived; the last of them.
    std::optional<std::string> waitForMessage(std::size_t count = 1) const;

private:
    std::filesystem::path inbox;
    pid_t pid = -1;
    int outFd = -1;
    int listenPort = 0;
};
