// Per-user sealing off Windows: a random user key kept outside the application-data
// directory, bound to this machine, and XChaCha20-Poly1305 over the data.

#include "api/sealing.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sodium.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

namespace
{

constexpr unsigned char formatVersion = 1;
constexpr std::size_t userKeySize = 32;
using Key = std::array<unsigned char, crypto_aead_xchacha20poly1305_ietf_KEYBYTES>;

QString keyDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString keyPath()
{
    return keyDirectory() + "/sealing.key";
}

std::optional<QByteArray> readUserKey()
{
    QFile file(keyPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray key = file.read(userKeySize + 1);
    if (key.size() != static_cast<qsizetype>(userKeySize))
        return std::nullopt;
    return key;
}

// Creates the key once; a key that already exists is never replaced, because every
// sealed file of this user depends on it.
std::optional<QByteArray> createUserKey()
{
    const QByteArray dir = QFile::encodeName(keyDirectory());
    if (!QDir().mkpath(keyDirectory()))
        return std::nullopt;
    ::chmod(dir.constData(), 0700);

    QByteArray key(userKeySize, '\0');
    randombytes_buf(key.data(), userKeySize);

    QByteArray tmpl = dir + "/sealing.key.XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        return std::nullopt;
    ::fchmod(fd, 0600);
    const bool written =
        ::write(fd, key.constData(), userKeySize) == static_cast<ssize_t>(userKeySize) &&
        ::fsync(fd) == 0;
    ::close(fd);
    // link() refuses to replace an existing key, so two first runs cannot race. A file
    // system without hard links gets a rename, which only a key made in between could lose to.
    const QByteArray target = QFile::encodeName(keyPath());
    bool placed = written && ::link(tmpl.constData(), target.constData()) == 0;
    if (!placed && written && errno != EEXIST && !QFile::exists(keyPath()))
        placed = ::rename(tmpl.constData(), target.constData()) == 0;
    ::unlink(tmpl.constData());
    if (!placed)
        return readUserKey();
    return key;
}

QByteArray machineId()
{
    QFile file("/etc/machine-id");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().trimmed();
}

std::optional<Key> sealingKey(bool createIfMissing)
{
    if (sodium_init() < 0)
        return std::nullopt;
    std::optional<QByteArray> userKey = readUserKey();
    if (!userKey && createIfMissing && !QFile::exists(keyPath()))
        userKey = createUserKey();
    if (!userKey)
        return std::nullopt;

    const QByteArray context = QByteArray(sealing::description) + machineId();
    Key key{};
    crypto_generichash(
        key.data(), key.size(), reinterpret_cast<const unsigned char*>(context.constData()),
        static_cast<unsigned long long>(context.size()),
        reinterpret_cast<const unsigned char*>(userKey->constData()), userKey->size());
    return key;
}

const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

const std::size_t adLength = std::strlen(sealing::description);
const auto* ad = reinterpret_cast<const unsigned char*>(sealing::description);

} // namespace

namespace sealing
{

bool seal(const std::string& plain, std::string& sealed)
{
    const std::optional<Key> key = sealingKey(true);
    if (!key)
        return false;
    constexpr std::size_t nonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
    sealed.assign(1 + nonceSize + plain.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES, '\0');
    auto* out = reinterpret_cast<unsigned char*>(sealed.data());
    out[0] = formatVersion;
    randombytes_buf(out + 1, nonceSize);
    unsigned long long cipherLength = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(out + 1 + nonceSize, &cipherLength, bytes(plain),
                                               plain.size(), ad, adLength, nullptr, out + 1,
                                               key->data());
    sealed.resize(1 + nonceSize + cipherLength);
    return true;
}

bool unseal(const std::string& sealed, std::string& plain)
{
    constexpr std::size_t nonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
    constexpr std::size_t overhead = 1 + nonceSize + crypto_aead_xchacha20poly1305_ietf_ABYTES;
    if (sealed.size() < overhead || static_cast<unsigned char>(sealed[0]) != formatVersion)
        return false;
    const std::optional<Key> key = sealingKey(false);
    if (!key)
        return false;
    const unsigned char* in = bytes(sealed);
    plain.assign(sealed.size() - overhead, '\0');
    unsigned long long plainLength = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(plain.data()),
                                                   &plainLength, nullptr, in + 1 + nonceSize,
                                                   sealed.size() - 1 - nonceSize, ad, adLength,
                                                   in + 1, key->data()) != 0) {
        plain.clear();
        return false;
    }
    plain.resize(plainLength);
    return true;
}

} // namespace sealing
