#include "service.h"

#include "outbox.h"
#include "smtpmailer.h"
#include "upstream.h"

#include <stdexcept>

namespace kestrune
{
namespace
{

std::shared_ptr<UpstreamClient> makeUpstream(const ServerOptions& options)
{
    if (options.upstreamUrl.empty())
        return nullptr;
    auto target = parseUpstreamUrl(options.upstreamUrl);
    if (!target)
        throw std::invalid_argument("--upstream: not an http(s) URL: " + options.upstreamUrl);
    return std::make_shared<UpstreamClient>(*target, options.upstreamKey);
}

std::unique_ptr<Mailer> makeMailer(const ServerOptions& options)
{
    if (options.smtpUrl.empty())
        return std::make_unique<Outbox>(options.outboxDir.empty() ? options.dataDir / "outbox"
                                                                  : options.outboxDir);
    return std::make_unique<SmtpMailer>(SmtpSettings{options.smtpUrl, options.smtpUser,
                                                     options.smtpPassword, options.mailFrom,
                                                     options.smtpCaFile});
}

} // namespace

DatabaseUrl prepareDataDir(const ServerOptions& options)
{
    namespace fs = std::filesystem;
    const fs::path& dir = options.dataDir;
    if (!fs::exists(dir)) {
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    }
    std::string error;
    const auto url = parseDatabaseUrl(databaseUrlText(dir, options.database), &error);
    if (!url)
        throw std::invalid_argument("--database: " + error);
    return *url;
}

Service::Service(const ServerOptions& opts)
    : options(opts), db(prepareDataDir(opts)),
      accounts(db, opts.initialPoints, static_cast<std::size_t>(opts.signupsPerHour)),
      conversations(db, StorageLimits{static_cast<std::size_t>(opts.maxConversationsPerAccount),
                                      opts.maxStoragePerAccount}),
      models(makeUpstream(opts), opts.upstreamPointsPer100,
             std::chrono::milliseconds(opts.streamDelayMs)),
      mailer(makeMailer(opts)), points(db, std::chrono::seconds(opts.replyLeaseSeconds))
{
}

ApiContext Service::api()
{
    return {accounts, conversations, models,
            *mailer,  points,        options.maxStreamsPerAccount,
            stopping, draining,      [this] { return db.answers(); }};
}

} // namespace kestrune
