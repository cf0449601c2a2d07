#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace kestrune
{

// The verification mail as an RFC 5322 message with CRLF line ends. The body carries the code
// as its only run of digits, so a person or a script can pick it out.
std::string verificationMail(const std::string& email, const std::string& code,
                             const std::string& messageId, std::time_t when);

// Delivers mail by writing one .eml file per message into a folder.
class Outbox
{
public:
    explicit Outbox(std::filesystem::path dir);

    // Writes the file atomically (temporary name, then rename) and returns its path.
    std::filesystem::path sendVerificationCode(const std::string& email, const std::string& code,
                                               const std::string& pendingId);

    const std::filesystem::path& folder() const { return dir; }

private:
    std::filesystem::path dir;
};

} // namespace kestrune
