#include "passwordhashing.h"

#include "refusal.h"

namespace kestrune
{

PasswordHashing::Ticket::Ticket(std::shared_ptr<Queue> queue, const std::string& address)
    : queue(std::move(queue)), address(address)
{
    Queue& q = *this->queue;
    std::lock_guard guard(q.mutex);
    std::size_t& fromAddress = q.waitingPerAddress[address];
    if (fromAddress >= perAddress)
        throw Refusal(RefusalKind::tooFrequent, "登录或注册请求过于频繁，请稍后再试。");
    if (q.waiting >= inAll) {
        if (fromAddress == 0)
            q.waitingPerAddress.erase(address);
        throw Refusal(RefusalKind::busy, "服务器繁忙，请稍后再试。");
    }
    ++fromAddress;
    ++q.waiting;
}

PasswordHashing::Ticket::~Ticket()
{
    std::lock_guard guard(queue->mutex);
    --queue->waiting;
    const auto it = queue->waitingPerAddress.find(address);
    if (--it->second == 0)
        queue->waitingPerAddress.erase(it);
}

} // namespace kestrune
