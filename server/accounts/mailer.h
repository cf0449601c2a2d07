#pragma once

#include <string>

namespace kestrune
{

// Where verification mails go: the outbox folder on this machine, or an SMTP server.
class Mailer
{
public:
    virtual ~Mailer() = default;
    // Hands over the mail with the code for a pending sign-up. Throws a Refusal (busy) when the
    // mail cannot be taken now; nothing is sent then.
    virtual void sendVerificationCode(const std::string& email, const std::string& code,
                                      const std::string& pendingId) = 0;
    // Where mails go, for the operator's start-up line ("outbox: FOLDER", "mail: URL").
    virtual std::string destination() const = 0;
};

} // namespace kestrune
