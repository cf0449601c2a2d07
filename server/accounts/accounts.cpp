#include "accounts.h"

#include "balance.h"
#include "clock.h"
#include "refusal.h"
#include "security.h"
#include "storage.h"
#include "text.h"

#include <algorithm>

namespace kestrune
{
namespace
{

constexpr const char* userColumns =
    "SELECT id, public_id, username, email, points, created_ms FROM users ";

User readUser(const Statement& st)
{
    return User{st.int64(0), st.text(1), st.text(2), st.text(3), st.int64(4), st.int64(5)};
}

std::string codeDigest(const std::string& pendingId, const std::string& code)
{
    return digestHex(pendingId + ":" + code);
}

constexpr std::int64_t dayMs = 24 * 3600 * 1000;
const char* const tooManyCodeFailures = "该邮箱的验证码错误次数过多，请 24 小时后再试。";

} // namespace

nlohmann::json userJson(const User& user)
{
    return {{"id", user.publicId},
            {"username", user.username},
            {"email", user.email},
            {"points", user.points}};
}

Accounts::Accounts(Database& db, std::int64_t initialPoints, std::size_t signupsPerHour)
    : db(db), initialPoints(initialPoints), guard(db),
      signups(db, signupsPerAddress, signupsPerHour)
{
    purgeExpiredRegistrations();
}

void Accounts::purgeExpiredRegistrations()
{
    const auto now = nowMs();
    auto lock = db.lock();
    db.prepare("DELETE FROM pending_registrations WHERE expires_ms <= ?", now).run();
    db.prepare("DELETE FROM code_failures WHERE created_ms <= ?", now - dayMs).run();
}

void Accounts::checkFree(const std::string& username, const std::string& email)
{
    if (db.prepare("SELECT 1 FROM users WHERE username = ?", username).step())
        throw Refusal(RefusalKind::conflict, "该用户名已被注册。");
    if (db.prepare("SELECT 1 FROM users WHERE email = ?", email).step())
        throw Refusal(RefusalKind::conflict, "该邮箱已注册，请直接登录。");
}

void Accounts::checkCodeFailures(const std::string& email, std::int64_t now)
{
    auto failures = db.prepare("SELECT COUNT(*) FROM code_failures WHERE email = ? AND "
                               "created_ms > ?",
                               email, now - dayMs);
    failures.step();
    if (failures.int64(0) >= maxCodeFailuresPerDay)
        throw Refusal(RefusalKind::tooFrequent, tooManyCodeFailures);
}

void Accounts::checkRegistration(const std::string& username, const std::string& email,
                                 const std::string& password, const std::string& clientAddress)
{
    if (!signups.admit(clientAddress))
        throw Refusal(RefusalKind::tooFrequent, "注册请求过于频繁，请稍后再试。");
    if (!isValidUsername(username))
        throw Refusal(RefusalKind::invalid, "用户名须为 3 到 32 位字母、数字或下划线。");
    if (!isPlausibleEmail(email))
        throw Refusal(RefusalKind::invalid, "邮箱地址格式不正确。");
    const auto length = codePointCount(password);
    if (length < 12)
        throw Refusal(RefusalKind::invalid, "密码至少需要 12 个字符。");
    if (length > 1024)
        throw Refusal(RefusalKind::invalid, "密码过长，最多 1024 个字符。");
    // Cheap checks before the hash, so that a refused registration costs none.
    auto lock = db.lock();
    checkFree(username, email);
    checkCodeFailures(email, nowMs());
}

PendingRegistration Accounts::storeRegistration(const std::string& username,
                                                const std::string& email,
                                                const std::string& passwordHash)
{
    PendingRegistration pending{randomHex(16), randomCode(), username, email};
    const auto now = nowMs();
    auto lock = db.lock();
    Transaction tx(db);
    checkFree(username, email);
    checkCodeFailures(email, now);
    db.prepare("DELETE FROM pending_registrations WHERE expires_ms <= ?", now).run();
    auto count = db.prepare("SELECT COUNT(*) FROM pending_registrations WHERE email = ?", email);
    count.step();
    if (count.int64(0) >= 5)
        throw Refusal(RefusalKind::tooFrequent, "该邮箱的验证码请求过于频繁，请稍后再试。");
    db.prepare("INSERT INTO pending_registrations (id, username, email, password_hash, "
               "code_digest, created_ms, expires_ms) VALUES (?, ?, ?, ?, ?, ?, ?)",
               pending.pendingId, username, email, passwordHash,
               codeDigest(pending.pendingId, pending.code), now, now + codeLifetimeMs)
        .run();
    tx.commit();
    return pending;
}

User Accounts::verify(const std::string& pendingId, const std::string& code)
{
    if (!isSixDigitCode(code))
        throw Refusal(RefusalKind::invalid, "验证码应为六位数字。");
    const auto now = nowMs();
    auto lock = db.lock();
    Transaction tx(db);
    auto st = db.prepare("SELECT username, email, password_hash, code_digest, tries, expires_ms "
                         "FROM pending_registrations WHERE id = ?",
                         pendingId);
    if (!st.step())
        throw Refusal(RefusalKind::notFound, "注册请求不存在或已失效，请重新注册。");
    const std::string username = st.text(0), email = st.text(1), passwordHash = st.text(2),
                      digest = st.text(3);
    const auto tries = st.int64(4);
    if (st.int64(5) <= now) {
        db.prepare("DELETE FROM pending_registrations WHERE id = ?", pendingId).run();
        tx.commit();
        throw Refusal(RefusalKind::expired, "验证码已过期，请重新注册。");
    }
    checkCodeFailures(email, now);
    if (!constantTimeEquals(digest, codeDigest(pendingId, code))) {
        auto failures = db.prepare("SELECT COUNT(*) FROM code_failures WHERE email = ? AND "
                                   "created_ms > ?",
                                   email, now - dayMs);
        failures.step();
        const std::int64_t failuresToday = failures.int64(0) + 1;
        db.prepare("DELETE FROM code_failures WHERE created_ms <= ?", now - dayMs).run();
        db.prepare("INSERT INTO code_failures (email, created_ms) VALUES (?, ?)", email, now).run();
        const std::int64_t triesLeft = maxCodeTries - tries - 1;
        const std::int64_t dayLeft = maxCodeFailuresPerDay - failuresToday;
        if (triesLeft <= 0 || dayLeft <= 0) {
            db.prepare("DELETE FROM pending_registrations WHERE id = ?", pendingId).run();
            tx.commit();
            throw Refusal(RefusalKind::tooFrequent, triesLeft <= 0
                                                        ? "验证码错误次数过多，请重新注册。"
                                                        : tooManyCodeFailures);
        }
        db.prepare("UPDATE pending_registrations SET tries = tries + 1 WHERE id = ?", pendingId)
            .run();
        tx.commit();
        throw Refusal(RefusalKind::invalid, "验证码不正确，还可尝试 " +
                                                std::to_string(std::min(triesLeft, dayLeft)) +
                                                " 次。");
    }
    checkFree(username, email);
    const User user = insertUser(username, email, passwordHash);
    // Other pending registrations for the same name or address can never succeed now.
    db.prepare("DELETE FROM pending_registrations WHERE lower(username) = lower(?) OR email = ?",
               username, email)
        .run();
    tx.commit();
    return user;
}

User Accounts::insertUser(const std::string& username, const std::string& email,
                          const std::string& passwordHash)
{
    const auto now = nowMs();
    const std::string publicId = randomHex(8);
    auto inserted =
        db.prepare("INSERT INTO users (public_id, username, email, password_hash, points, "
                   "created_ms) VALUES (?, ?, ?, ?, 0, ?) RETURNING id",
                   publicId, username, email, passwordHash, now);
    inserted.step();
    const User user{inserted.int64(0), publicId, username, email, initialPoints, now};
    inserted.run();
    if (initialPoints > 0)
        changeBalance(db, {user.id, initialPoints, "initial", {}, {}}, now);
    return user;
}

SignInAttempt Accounts::beginLogin(const std::string& login, const std::string& password,
                                   const std::string& clientAddress)
{
    const std::string name = trimmed(login);
    if (name.empty() || password.empty())
        throw Refusal(RefusalKind::invalid, "请输入用户名或邮箱以及密码。");

    SignInAttempt attempt;
    {
        auto reader = db.reader();
        auto st = reader.prepare("SELECT id, public_id, username, email, points, created_ms, "
                                 "password_hash FROM users WHERE username = ? OR email = ?",
                                 name, name);
        if (st.step()) {
            attempt.user = readUser(st);
            attempt.passwordHash = st.text(6);
        }
    }
    // One count per account, whether its name or its address is typed; a name without an
    // account is counted as typed.
    attempt.guardKey =
        attempt.user ? "account:" + std::to_string(attempt.user->id) : "name:" + asciiLower(name);
    if (guard.isRefused(attempt.guardKey, clientAddress))
        throw Refusal(RefusalKind::tooFrequent, "登录失败次数过多，请 15 分钟后再试。");
    return attempt;
}

LoginResult Accounts::finishLogin(const SignInAttempt& attempt, bool passwordMatches,
                                  const std::string& clientAddress)
{
    if (!attempt.user || !passwordMatches) {
        guard.recordFailure(attempt.guardKey, clientAddress);
        throw Refusal(RefusalKind::notSignedIn, "用户名或密码错误。");
    }
    guard.recordSuccess(attempt.guardKey, clientAddress);

    LoginResult result{randomHex(32), *attempt.user};
    const auto now = nowMs();
    auto lock = db.lock();
    db.prepare("DELETE FROM tokens WHERE expires_ms <= ?", now).run();
    db.prepare("INSERT INTO tokens (digest, user_id, created_ms, expires_ms) VALUES (?, ?, ?, ?)",
               digestHex(result.token), attempt.user->id, now, now + tokenLifetimeMs)
        .run();
    return result;
}

std::optional<User> Accounts::userForToken(const std::string& token)
{
    if (token.size() != 64)
        return std::nullopt;
    auto reader = db.reader();
    auto st = reader.prepare("SELECT u.id, u.public_id, u.username, u.email, u.points, "
                             "u.created_ms FROM tokens t JOIN users u ON u.id = t.user_id "
                             "WHERE t.digest = ? AND t.expires_ms > ?",
                             digestHex(token), nowMs());
    if (!st.step())
        return std::nullopt;
    return readUser(st);
}

void Accounts::revoke(const std::string& token)
{
    auto lock = db.lock();
    db.prepare("DELETE FROM tokens WHERE digest = ?", digestHex(token)).run();
}

bool Accounts::ensureAccount(const std::string& username, const std::string& email,
                             const std::string& password)
{
    {
        auto lock = db.lock();
        if (db.prepare("SELECT 1 FROM users WHERE username = ? OR email = ?", username, email)
                .step())
            return false;
    }
    const std::string hash = hashPassword(password);
    auto lock = db.lock();
    Transaction tx(db);
    if (db.prepare("SELECT 1 FROM users WHERE username = ? OR email = ?", username, email).step())
        return false;
    insertUser(username, email, hash);
    tx.commit();
    return true;
}

std::optional<User> Accounts::find(const std::string& nameOrEmail)
{
    auto reader = db.reader();
    auto st = reader.prepare(std::string(userColumns) + "WHERE username = ? OR email = ?",
                             nameOrEmail, nameOrEmail);
    if (!st.step())
        return std::nullopt;
    return readUser(st);
}

std::vector<User> Accounts::list()
{
    auto reader = db.reader();
    auto st = reader.prepare(std::string(userColumns) + "ORDER BY id");
    std::vector<User> users;
    while (st.step())
        users.push_back(readUser(st));
    return users;
}

User Accounts::grant(const std::string& nameOrEmail, std::int64_t amount)
{
    if (amount < -maxPoints || amount > maxPoints)
        throw Refusal(RefusalKind::invalid, "points must be between " + std::to_string(-maxPoints) +
                                                " and " + std::to_string(maxPoints));
    auto lock = db.lock();
    Transaction tx(db);
    auto st = db.prepare(std::string(userColumns) + "WHERE username = ? OR email = ?", nameOrEmail,
                         nameOrEmail);
    if (!st.step())
        throw Refusal(RefusalKind::notFound, "no such user: " + nameOrEmail);
    User user = readUser(st);
    // Both within ±maxPoints: the sum cannot overflow.
    if (user.points + amount < 0)
        throw Refusal(RefusalKind::invalid, "the balance of " + user.username + " is " +
                                                std::to_string(user.points) +
                                                "; it cannot go below zero");
    if (user.points + amount > maxPoints)
        throw Refusal(RefusalKind::invalid,
                      "the balance of " + user.username + " is " + std::to_string(user.points) +
                          "; it cannot go above " + std::to_string(maxPoints));
    changeBalance(db, {user.id, amount, "grant", {}, {}}, nowMs());
    tx.commit();
    user.points += amount;
    return user;
}

} // namespace kestrune
