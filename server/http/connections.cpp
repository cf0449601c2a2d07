#include "connections.h"

namespace kestrune
{

ConnectionRegistry::ConnectionRegistry(std::size_t maxConnections, std::size_t maxPerAddress)
    : maxConnections(maxConnections), maxPerAddress(maxPerAddress)
{
}

ConnectionRegistry::Admission ConnectionRegistry::admit(const std::string& address,
                                                        bool perAddressCap,
                                                        std::shared_ptr<ConnectionHandle> handle)
{
    std::lock_guard guard(mutex);
    Admission admission;
    AddressState& state = addresses[address];
    const bool addressFull = perAddressCap && state.open - state.closing >= maxPerAddress;
    const bool serverFull = entries.size() - closing >= maxConnections;
    if (addressFull || serverFull) {
        // One idle connection of the address frees a place under both caps.
        const std::list<Id>& candidates = addressFull ? state.idle : idleOrder;
        if (candidates.empty()) {
            admission.addressFull = addressFull;
            if (state.open == 0)
                addresses.erase(address);
            return admission;
        }
        admission.toClose.push_back(pickToClose(candidates.front()));
    }
    const Id id = nextId++;
    Entry entry;
    entry.address = address;
    entry.handle = std::move(handle);
    entries.emplace(id, std::move(entry));
    ++state.open;
    admission.id = id;
    return admission;
}

std::shared_ptr<ConnectionHandle> ConnectionRegistry::pickToClose(Id id)
{
    Entry& entry = entries.at(id);
    AddressState& state = addresses.at(entry.address);
    stopIdling(entry, state);
    entry.closing = true;
    ++closing;
    ++state.closing;
    return entry.handle;
}

void ConnectionRegistry::stopIdling(Entry& entry, AddressState& state)
{
    if (!entry.idle)
        return;
    idleOrder.erase(entry.idlePosition);
    state.idle.erase(entry.addressIdlePosition);
    entry.idle = false;
}

bool ConnectionRegistry::setIdle(Id id, bool idle)
{
    std::lock_guard guard(mutex);
    const auto it = entries.find(id);
    if (it == entries.end())
        return false;
    Entry& entry = it->second;
    if (entry.closing)
        return !idle;
    AddressState& state = addresses.at(entry.address);
    if (!idle) {
        stopIdling(entry, state);
    } else if (!entry.idle) {
        entry.idlePosition = idleOrder.insert(idleOrder.end(), id);
        entry.addressIdlePosition = state.idle.insert(state.idle.end(), id);
        entry.idle = true;
    }
    return true;
}

void ConnectionRegistry::remove(Id id)
{
    std::lock_guard guard(mutex);
    const auto it = entries.find(id);
    if (it == entries.end())
        return;
    Entry& entry = it->second;
    const auto stateIt = addresses.find(entry.address);
    AddressState& state = stateIt->second;
    stopIdling(entry, state);
    if (entry.closing) {
        --closing;
        --state.closing;
    }
    if (--state.open == 0)
        addresses.erase(stateIt);
    entries.erase(it);
}

std::size_t ConnectionRegistry::size() const
{
    std::lock_guard guard(mutex);
    return entries.size();
}

std::size_t ConnectionRegistry::idleCount() const
{
    std::lock_guard guard(mutex);
    return idleOrder.size();
}

std::vector<std::shared_ptr<ConnectionHandle>> ConnectionRegistry::all() const
{
    std::lock_guard guard(mutex);
    std::vector<std::shared_ptr<ConnectionHandle>> handles;
    handles.reserve(entries.size());
    for (const auto& [id, entry] : entries)
        handles.push_back(entry.handle);
    return handles;
}

} // namespace kestrune
