#include "security.h"

#include <sodium.h>

#include <cstdio>
#include <mutex>
#include <semaphore>
#include <stdexcept>
#include <vector>

namespace kestrune
{
namespace
{

std::counting_semaphore<2>& hashSlots()
{
    static std::counting_semaphore<2> slots(2);
    return slots;
}

struct SlotGuard {
    SlotGuard() { hashSlots().acquire(); }
    ~SlotGuard() { hashSlots().release(); }
    SlotGuard(const SlotGuard&) = delete;
    SlotGuard& operator=(const SlotGuard&) = delete;
};

std::string toHex(const unsigned char* data, std::size_t len)
{
    std::string hex(len * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), data, len);
    hex.pop_back();
    return hex;
}

} // namespace

void initSecurity()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");
}

std::string randomHex(std::size_t bytes)
{
    std::vector<unsigned char> buf(bytes);
    randombytes_buf(buf.data(), buf.size());
    return toHex(buf.data(), buf.size());
}

std::string randomCode()
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(randombytes_uniform(1000000)));
    return buf;
}

std::string digestHex(std::string_view text)
{
    unsigned char out[32];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), nullptr, 0);
    return toHex(out, sizeof out);
}

std::string hashPassword(std::string_view password)
{
    SlotGuard slot;
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw std::runtime_error("password hashing ran out of memory");
    return out;
}

bool verifyPassword(const std::string& hash, std::string_view password)
{
    SlotGuard slot;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

void verifyAgainstDummy(std::string_view password)
{
    static const std::string dummy = hashPassword("kestrune dummy password");
    verifyPassword(dummy, password);
}

bool constantTimeEquals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace kestrune
