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

// The largest balance an account may hold and the largest grant: a balance times 100 (the
// characters it pays for at one point per 100) stays far inside 64 bits.
inline constexpr std::int64_t maxPoints = 1'000'000'000'000'000; // 10^15

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

// A sign-in between its two database steps, while the password is checked elsewhere.
struct SignInAttempt {
    std::optional<User> user; // none: no account has that name or address
    std::string passwordHash;
    std::string guardKey; // what failures are counted against
};

// Registration, verification, sign-in and tokens. Refusals are thrown as Refusal. The steps
// that hash a password are split around the hash, which runs on the hashing threads.
class Accounts
{
public:
    static constexpr std::int64_t codeLifetimeMs = 15 * 60 * 1000;
    static constexpr int maxCodeTries = 5;
    // Wrong codes for one e-mail address in a day, whichever sign-up they were typed for: a
    // sign-up whose tries are used up must not open a fresh set at once.
    static constexpr int maxCodeFailuresPerDay = 10;
    static constexpr std::int64_t tokenLifetimeMs = 30LL * 24 * 3600 * 1000;
    static constexpr std::size_t signupsPerAddress = 20; // attempts in an hour

    Accounts(Database& db, std::int64_t initialPoints, std::size_t signupsPerHour = 200);

    // Counts the attempt against the sign-up limits before anything else (so that the answers
    // cannot be used to learn without end which names and addresses exist), then checks the
    // rules and that name and address are free.
    void checkRegistration(const std::string& username, const std::string& email,
                           const std::string& password, const std::string& clientAddress);
    // Stores the sign-up with its password hash; checks again that name and address are free.
    PendingRegistration storeRegistration(const std::string& username, const std::string& email,
                                          const std::string& passwordHash);
    User verify(const std::string& pendingId, const std::string& code);

    // Finds the account and refuses outright an address the sign-in guard holds back.
    SignInAttempt beginLogin(const std::string& login, const std::string& password,
                             const std::string& clientAddress);
    // Counts the outcome of the password check: a new session, or a Refusal.
    LoginResult finishLogin(const SignInAttempt& attempt, bool passwordMatches,
                            const std::string& clientAddress);

    // Removes the sign-ups whose code has expired and the code failures older than a day.
    void purgeExpiredRegistrations();
    std::optional<User> userForToken(const std::string& token);
    void revoke(const std::string& token);

    // Creates a verified account when no account of that name or address exists yet.
    bool ensureAccount(const std::string& username, const std::string& email,
                       const std::string& password);

    std::optional<User> find(const std::string& nameOrEmail);
    std::vector<User> list();
    // Adds (or with a negative amount removes) points; refuses to go below zero or past the
    // largest balance there may be.
    User grant(const std::string& nameOrEmail, std::int64_t amount);

private:
    User insertUser(const std::string& username, const std::string& email,
                    const std::string& passwordHash);
    // Refuses a name or address taken by an account; with the database lock held.
    void checkFree(const std::string& username, const std::string& email);
    // Refuses an address with a day's worth of wrong codes; with the database lock held.
    void checkCodeFailures(const std::string& email, std::int64_t now);

    Database& db;
    std::int64_t initialPoints;
    LoginGuard guard;
    SignupLimit signups;
};

} // namespace kestrune
