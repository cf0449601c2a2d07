#include "service.h"

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

} // namespace

std::filesystem::path prepareDataDir(const std::filesystem::path& dir)
{
    namespace fs = std::filesystem;
    if (!fs::exists(dir)) {
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    }
    return dir / "kestrune.db";
}

Service::Service(const ServerOptions& opts)
    : options(opts), db(prepareDataDir(opts.dataDir)),
      accounts(db, opts.initialPoints, static_cast<std::size_t>(opts.signupsPerHour)),
      conversations(db, StorageLimits{static_cast<std::size_t>(opts.maxConversationsPerAccount),
                                      opts.maxStoragePerAccount}),
      models(makeUpstream(opts), opts.upstreamPointsPer100,
             std::chrono::milliseconds(opts.streamDelayMs)),
      outbox(opts.outboxDir.empty() ? opts.dataDir / "outbox" : opts.outboxDir), points(db)
{
}

ApiContext Service::api()
{
    return {accounts, conversations, models, outbox, points, options.maxStreamsPerAccount,
            stopping};
}

} // namespace kestrune
