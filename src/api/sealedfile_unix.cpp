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

unsigned char* bytes(QByteArray& data)
{
    return reinterpret_cast<unsigned char*>(data.data());
}

// The sealed layout: version, nonce, ciphertext, authentication tag.
constexpr std::size_t nonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t tagSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr std::size_t headerSize = 1 + nonceSize;

const std::size_t adLength = std::strlen(sealing::description);
const auto* ad = reinterpret_cast<const unsigned char*>(sealing::description);

} // namespace

namespace sealing
{

bool seal(QByteArray& data)
{
    const std::optional<Key> key = sealingKey(true);
    if (!key)
        return false;
    // Grown at the end (a large buffer grows without a copy), then the plain bytes slide
    // behind the header and are encrypted where they lie.
    const auto plainSize = static_cast<std::size_t>(data.size());
    data.resize(qsizetype(headerSize + plainSize + tagSize));
    unsigned char* out = bytes(data);
    std::memmove(out + headerSize, out, plainSize);
    out[0] = formatVersion;
    randombytes_buf(out + 1, nonceSize);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
        out + headerSize, out + headerSize + plainSize, nullptr, out + headerSize, plainSize, ad,
        adLength, nullptr, out + 1, key->data());
    return true;
}

bool unseal(QByteArray& data)
{
    const auto size = static_cast<std::size_t>(data.size());
    if (size < headerSize + tagSize || static_cast<unsigned char>(data.at(0)) != formatVersion)
        return false;
    const std::optional<Key> key = sealingKey(false);
    if (!key)
        return false;
    const std::size_t plainSize = size - headerSize - tagSize;
    unsigned char* in = bytes(data);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
            in + headerSize, nullptr, in + headerSize, plainSize, in + headerSize + plainSize, ad,
            adLength, in + 1, key->data()) != 0)
        return false;
    data.truncate(qsizetype(headerSize + plainSize));
    data.remove(0, qsizetype(headerSize));
    return true;
}

} // namespace sealing
