#include "streamslots.h"

namespace kestrune
{

bool StreamSlots::acquire(std::int64_t userId, int limit)
{
    std::lock_guard lock(mutex);
    int& count = open[userId];
    if (count >= limit) {
        if (count == 0)
            open.erase(userId);
        return false;
    }
    ++count;
    return true;
}

void StreamSlots::release(std::int64_t userId)
{
    std::lock_guard lock(mutex);
    const auto it = open.find(userId);
    if (it != open.end() && --it->second <= 0)
        open.erase(it);
}

} // namespace kestrune
