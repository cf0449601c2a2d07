#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace kestrune
{

// The reply streams each account has open, against a limit.
class StreamSlots
{
public:
    bool acquire(std::int64_t userId, int limit);
    void release(std::int64_t userId);

private:
    std::mutex mutex;
    std::unordered_map<std::int64_t, int> open;
};

} // namespace kestrune
