#include "signuplimit.h"

namespace kestrune
{

void SignupLimit::forgetBefore(Clock::time_point cutoff)
{
    while (!recent.empty() && recent.front().first <= cutoff) {
        const auto it = countPerAddress.find(recent.front().second);
        if (it != countPerAddress.end() && --it->second == 0)
            countPerAddress.erase(it);
        recent.pop_front();
    }
}

bool SignupLimit::admit(const std::string& address, Clock::time_point now)
{
    std::lock_guard guard(mutex);
    forgetBefore(now - window);
    std::size_t& fromAddress = countPerAddress[address];
    if (recent.size() >= overall || fromAddress >= perAddress) {
        if (fromAddress == 0)
            countPerAddress.erase(address);
        return false;
    }
    ++fromAddress;
    recent.emplace_back(now, address);
    return true;
}

} // namespace kestrune
