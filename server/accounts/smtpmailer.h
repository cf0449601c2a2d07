#pragma once

#include "mailer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune
{

struct SmtpSettings {
    std::string url;      // smtp://HOST[:PORT] (STARTTLS required) or smtps://HOST[:PORT]
    std::string user;     // empty: no login
    std::string password; // never from the command line: a file or the environment
    std::string from;     // the sender's address
    std::string caFile;   // certificates to trust instead of the system's, or empty
    // Waits before the second, third, … try of a mail; a mail is given up after the last.
    std::vector<std::chrono::milliseconds> retryDelays{
        std::chrono::seconds(2), std::chrono::seconds(10), std::chrono::seconds(30)};
    std::chrono::milliseconds attemptTimeout{30000}; // one connection, from connect to QUIT
};

// Sends verification mails through an SMTP server, on threads of its own: a slow or absent
// mail server never holds a request. Mails wait in a bounded queue; each is tried a few times
// and then given up (the user can ask for a new code), with the reason in the log.
class SmtpMailer : public Mailer
{
public:
    static constexpr std::size_t maxWaiting = 1000;

    explicit SmtpMailer(SmtpSettings settings, std::size_t threads = 2);
    // Mails not yet sent are dropped and a send under way is broken off.
    ~SmtpMailer() override;
    SmtpMailer(const SmtpMailer&) = delete;
    SmtpMailer& operator=(const SmtpMailer&) = delete;

    void sendVerificationCode(const std::string& email, const std::string& code,
                              const std::string& pendingId) override;
    std::string destination() const override;

    // One delivery attempt; empty on success, else why it failed.
    std::string trySend(const std::string& to, const std::string& message);

private:
    struct Pending {
        std::string to;
        std::string message;
        std::size_t tries = 0;
        std::chrono::steady_clock::time_point due;
    };

    void work();

    SmtpSettings settings;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Pending> queue;
    std::atomic<bool> stopping{false}; // also ends a transfer under way
    std::vector<std::thread> workers;
};

} // namespace kestrune
