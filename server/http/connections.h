#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrune
{

// What the registry asks of a connection; the HTTP core carries it out on the connection's own
// strand, where it knows what the connection is doing at that moment.
class ConnectionHandle
{
public:
    virtual ~ConnectionHandle() = default;
    // Closes the connection if it is still waiting for its next request.
    virtual void closeIfIdle() = 0;
    // The server is stopping: ends the connection unless it is answering a request, or with
    // `force` in any case.
    virtual void shutDown(bool force) = 0;
};

// Every open connection and the address it comes from, held to a cap in all and a cap per
// address. When a cap is reached, the connection that has idled longest (within that address,
// for the address cap) is closed to make room; a new connection is refused only when none idles.
// A connection picked to make room still counts until it is gone, so the caps hold but for the
// moment it takes to close.
class ConnectionRegistry
{
public:
    using Id = std::uint64_t;

    ConnectionRegistry(std::size_t maxConnections, std::size_t maxPerAddress);

    struct Admission {
        Id id = 0;                // 0: refused
        bool addressFull = false; // refused for the address cap, not the server's
        // Connections picked to make room: the caller closes them outside the registry's lock.
        std::vector<std::shared_ptr<ConnectionHandle>> toClose;
    };
    // `perAddressCap` is false for a trusted proxy, which carries many clients' connections.
    Admission admit(const std::string& address, bool perAddressCap,
                    std::shared_ptr<ConnectionHandle> handle);
    // Marks the connection as waiting for its next request (or no longer). Returns false when
    // it was picked to make room: it should close instead of waiting.
    bool setIdle(Id id, bool idle);
    void remove(Id id);

    std::size_t size() const;
    std::size_t idleCount() const;
    std::vector<std::shared_ptr<ConnectionHandle>> all() const;

private:
    struct AddressState {
        std::size_t open = 0;
        std::size_t closing = 0;
        std::list<Id> idle; // longest idle first
    };
    struct Entry {
        std::string address;
        std::shared_ptr<ConnectionHandle> handle;
        bool idle = false;
        bool closing = false;
        std::list<Id>::iterator idlePosition;
        std::list<Id>::iterator addressIdlePosition;
    };

    void stopIdling(Entry& entry, AddressState& state);
    // Takes the connection out of the idle lists and counts it as closing.
    std::shared_ptr<ConnectionHandle> pickToClose(Id id);

    const std::size_t maxConnections;
    const std::size_t maxPerAddress;
    mutable std::mutex mutex;
    std::unordered_map<Id, Entry> entries;
    std::unordered_map<std::string, AddressState> addresses;
    std::list<Id> idleOrder; // longest idle first
    std::size_t closing = 0;
    Id nextId = 1;
};

} // namespace kestrune
