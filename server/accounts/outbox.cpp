#include "outbox.h"

#include "console.h"

#include <sodium.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace kestrune
{
namespace
{

std::string base64(std::string_view text)
{
    std::string out(sodium_base64_encoded_len(text.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(text.data()),
                      text.size(), sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();
    return out;
}

std::string rfc5322Date(std::time_t when)
{
    std::tm tm{};
    gmtime_r(&when, &tm);
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

} // namespace

std::string verificationMail(const std::string& email, const std::string& code,
                             const std::string& messageId, std::time_t when,
                             const std::string& from)
{
    const std::string subject = "KestruneAI 邮箱验证码";
    std::string mail;
    mail += "From: KestruneAI <" + from + ">\r\n";
    mail += "To: <" + email + ">\r\n";
    mail += "Subject: =?UTF-8?B?" + base64(subject) + "?=\r\n";
    mail += "Date: " + rfc5322Date(when) + "\r\n";
    const auto at = from.find('@');
    mail += "Message-ID: <" + messageId +
            (at == std::string::npos ? "@kestrune.local" : from.substr(at)) + ">\r\n";
    mail += "MIME-Version: 1.0\r\n";
    mail += "Content-Type: text/plain; charset=UTF-8\r\n";
    mail += "Content-Transfer-Encoding: 8bit\r\n";
    mail += "\r\n";
    // No other digits in the body: the code must be the only run of six.
    mail += "你好：\r\n\r\n";
    mail += "你正在注册 KestruneAI 账号。你的邮箱验证码是：\r\n\r\n";
    mail += "    " + code + "\r\n\r\n";
    mail += "验证码十五分钟内有效，最多可尝试五次。\r\n";
    mail += "如果这不是你本人的操作，请忽略这封邮件。\r\n\r\n";
    mail += "—— KestruneAI\r\n";
    return mail;
}

Outbox::Outbox(std::filesystem::path dir) : dir(std::move(dir))
{
    std::filesystem::create_directories(this->dir);
}

std::filesystem::path Outbox::write(const std::string& email, const std::string& code,
                                    const std::string& pendingId)
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    const auto name = std::string(stamp) + "-" + pendingId + ".eml";
    const auto target = dir / name;
    const auto temp = dir / ("." + name + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << verificationMail(email, code, pendingId, now);
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + temp.string());
    }
    std::filesystem::rename(temp, target);
    prune();
    return target;
}

void Outbox::sendVerificationCode(const std::string& email, const std::string& code,
                                  const std::string& pendingId)
{
    const auto file = write(email, code, pendingId);
    // Codes never go to the request log, only here.
    consoleLine("verification code for " + email + ": " + code + " (" + file.string() + ")");
}

std::string Outbox::destination() const
{
    return "outbox: " + dir.string();
}

void Outbox::prune()
{
    namespace fs = std::filesystem;
    std::vector<std::pair<fs::file_time_type, fs::path>> mails;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.path().extension() == ".eml")
            mails.emplace_back(entry.last_write_time(ec), entry.path());
    std::sort(mails.begin(), mails.end());
    const auto cutoff = fs::file_time_type::clock::now() - keepFor;
    for (std::size_t i = 0; i < mails.size(); ++i)
        if (mails[i].first < cutoff || mails.size() - i > maxMails)
            fs::remove(mails[i].second, ec);
}

} // namespace kestrune
