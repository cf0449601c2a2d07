#pragma once

#include "mailer.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>

namespace kestrune
{

inline constexpr const char* defaultMailFrom = "no-reply@kestrune.local";

// The verification mail as an RFC 5322 message with CRLF line ends. The body carries the code
// as its only run of digits, so a person or a script can pick it out. `from` is a plain address;
// the Message-ID is of its domain.
std::string verificationMail(const std::string& email, const std::string& code,
                             const std::string& messageId, std::time_t when,
                             const std::string& from = defaultMailFrom);

// Delivers mail by writing one .eml file per message into a folder. The folder keeps the
// mails of the last day, at most `maxMails` of them: a code is good for 15 minutes, and the
// folder must not grow without end under a stream of sign-ups.
class Outbox : public Mailer
{
public:
    static constexpr std::size_t maxMails = 1000;
    static constexpr auto keepFor = std::chrono::hours(24);

    explicit Outbox(std::filesystem::path dir);

    // Writes the file atomically (temporary name, then rename) and returns its path.
    std::filesystem::path write(const std::string& email, const std::string& code,
                                const std::string& pendingId);

    // Writes the mail and shows its code on the console: the operator's mail view.
    void sendVerificationCode(const std::string& email, const std::string& code,
                              const std::string& pendingId) override;
    std::string destination() const override;

    const std::filesystem::path& folder() const { return dir; }

private:
    void prune();

    std::filesystem::path dir;
};

} // namespace kestrune
