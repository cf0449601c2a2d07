#pragma once

#include "loginthrottle.h"
#include "signuplimit.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune
{

class Database;

struct User {
    std::int64_t id = 0;
    std::string publicId;
    std::string username;
    std::string email;
    std::int64_t points = 0;
    std::int64_t createdMs = 0;
};

// The user record the client reads: "id" is a string on purpose.
nlohmann::json userJson(const User& user);

struct PendingRegistration {
    std::string pendingId;
    std::string code;
    std::string username;
    std::string email;
};

struct LoginResult {
    std::string token;
    User user;
};

// Registration, verification, sign-in and tokens. Refusals are thrown as Refusal.
class Accounts
{
public:
    static constexpr std::int64_t codeLifetimeMs = 15 * 60 * 1000;
    static constexpr int maxCodeTries = 5;
    static constexpr std::int64_t tokenLifetimeMs = 30LL * 24 * 3600 * 1000;

    // Failed sign-ins: five per account in 15 minutes, whichever name or address is typed,
    // and thirty per client address.
    static constexpr std::size_t failuresPerAccount = 5;
    static constexpr std::size_t failuresPerAddress = 30;
    static constexpr std::size_t signupsPerAddress = 20; // in an hour

    Accounts(Database& db, std::int64_t initialPoints, std::size_t signupsPerHour = 200);

    PendingRegistration startRegistration(const std::string& username, const std::string& email,
                                          const std::string& password,
                                          const std::string& clientAddress = {});
    User verify(const std::string& pendingId, const std::string& code);
    LoginResult login(const std::string& login, const std::string& password,
                      const std::string& clientAddress = {});
    // Removes the sign-ups whose code has expired.
    void purgeExpiredRegistrations();
    std::optional<User> userForToken(const std::string& token);
    void revoke(const std::string& token);

    // Creates a verified account when no account of that name or address exists yet.
    bool ensureAccount(const std::string& username, const std::string& email,
                       const std::string& password);

    std::optional<User> find(const std::string& nameOrEmail);
    std::vector<User> list();
    // Adds (or with a negative amount removes) points; refuses to go below zero.
    User grant(const std::string& nameOrEmail, std::int64_t amount);

private:
    User insertUser(const std::string& username, const std::string& email,
                    const std::string& passwordHash);

    Database& db;
    std::int64_t initialPoints;
    LoginThrottle accountFailures{failuresPerAccount};
    LoginThrottle addressFailures{failuresPerAddress};
    SignupLimit signups;
};

} // namespace kestrune
