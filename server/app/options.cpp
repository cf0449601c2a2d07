#include "options.h"

#include "text.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kestrune
{

std::optional<ListenAddress> parseListen(std::string_view text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size())
        return std::nullopt;
    std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt; // a bare IPv6 address needs brackets
    }
    int value = -1;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535)
        return std::nullopt;
    return ListenAddress{std::string(host), value};
}

int defaultMaxConnections(std::uint64_t openFiles)
{
    constexpr std::uint64_t reserved = 128;
    const std::uint64_t spare = openFiles > reserved ? (openFiles - reserved) / 2 : 0;
    return static_cast<int>(std::clamp<std::uint64_t>(spare, 16, 65536));
}

std::string databaseUrlText(const std::filesystem::path& dataDir, const std::string& database)
{
    return database.empty() ? "sqlite:" + (dataDir / "kestrune.db").string() : database;
}

std::filesystem::path defaultDataDir()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "kestrune-server";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local/share/kestrune-server";
    return "kestrune-data";
}

std::string completeMailSettings(ServerOptions& options, const std::string& passwordFile)
{
    if (!isPlausibleEmail(options.mailFrom))
        return "--mail-from expects an e-mail address, got " + options.mailFrom;
    if (options.smtpUrl.empty()) {
        if (!options.smtpUser.empty() || !passwordFile.empty() || !options.smtpCaFile.empty())
            return "--smtp-user, --smtp-password-file and --smtp-ca need --smtp";
        return {};
    }
    const std::string_view url = options.smtpUrl;
    const auto scheme = url.find("://");
    const std::string_view name = url.substr(0, scheme);
    if (scheme == std::string_view::npos || (name != "smtp" && name != "smtps"))
        return "--smtp expects smtp://HOST[:PORT] or smtps://HOST[:PORT], got " + options.smtpUrl;
    const std::string_view authority =
        url.substr(scheme + 3, url.find('/', scheme + 3) - scheme - 3);
    if (authority.empty() || authority.front() == ':')
        return "--smtp names no host: " + options.smtpUrl;
    // A password in the URL would stand in the process list and in shell histories.
    if (authority.find('@') != std::string_view::npos)
        return "--smtp takes no user or password: use --smtp-user and --smtp-password-file or "
               "KESTRUNE_SMTP_PASSWORD";

    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in)
            return "cannot read " + passwordFile;
        options.smtpPassword = text.str();
        while (!options.smtpPassword.empty() &&
               (options.smtpPassword.back() == '\n' || options.smtpPassword.back() == '\r'))
            options.smtpPassword.pop_back();
    } else if (const char* password = std::getenv("KESTRUNE_SMTP_PASSWORD")) {
        options.smtpPassword = password;
    }
    if (!options.smtpUser.empty() && options.smtpPassword.empty())
        return "--smtp-user needs a password: --smtp-password-file or KESTRUNE_SMTP_PASSWORD";
    return {};
}

} // namespace kestrune
