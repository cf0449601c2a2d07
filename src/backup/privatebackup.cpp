#include "backup/privatebackup.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <sodium.h>

#include <cstring>

namespace
{

// The header, bound to the ciphertext as associated data:
// magic, version, key-derivation algorithm, its cost, salt, nonce.
constexpr char magic[] = "KestruneAIBackup";
constexpr qsizetype magicSize = 16;
constexpr qsizetype versionAt = magicSize;
constexpr qsizetype algorithmAt = versionAt + 2;
constexpr qsizetype opsAt = algorithmAt + 1;
constexpr qsizetype memAt = opsAt + 4;
constexpr qsizetype saltAt = memAt + 4;
constexpr qsizetype nonceAt = saltAt + 16;
constexpr qsizetype headerSize = nonceAt + 24;
constexpr qsizetype tagSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr unsigned char argon2id = 2;

static_assert(crypto_pwhash_SALTBYTES == 16);
static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES == 24);
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == 32);

// What a file may ask of the machine that opens it: a damaged or hostile header must not
// make the reader allocate gigabytes or compute for minutes.
constexpr std::uint32_t maxOpsLimit = 16;
constexpr std::uint32_t maxMemLimitKiB = 1024 * 1024;
// Far beyond any private store, and still a size this program can hold in memory twice.
constexpr qint64 maxFileSize = qint64(2) * 1024 * 1024 * 1024;

const QString formatName = QStringLiteral("kestrune-private-backup");

using Key = std::array<unsigned char, crypto_aead_xchacha20poly1305_ietf_KEYBYTES>;

bool deriveKey(const QString& passphrase, const BackupSecrets& secrets, Key& key)
{
    // One normal form, so that the same passphrase typed through another input method or on
    // another system gives the same bytes.
    QByteArray utf8 = passphrase.normalized(QString::NormalizationForm_C).toUtf8();
    const int result = crypto_pwhash(
        key.data(), key.size(), utf8.constData(), static_cast<unsigned long long>(utf8.size()),
        secrets.salt.data(), secrets.opsLimit, std::size_t(secrets.memLimitKiB) * 1024,
        crypto_pwhash_ALG_ARGON2ID13);
    sodium_memzero(utf8.data(), std::size_t(utf8.size()));
    return result == 0;
}

unsigned char* bytesOf(QByteArray& data)
{
    return reinterpret_cast<unsigned char*>(data.data());
}

QByteArray payload(const BackupContent& content)
{
    const QJsonObject object{{"format", formatName},
                             {"account_id", content.accountId},
                             {"username", content.userName},
                             {"created_at", content.createdAt},
                             {"program_version", content.programVersion},
                             {"threads", content.threads}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

BackupSecrets newBackupSecrets()
{
    BackupSecrets secrets;
    secrets.opsLimit = crypto_pwhash_OPSLIMIT_MODERATE;
    secrets.memLimitKiB = crypto_pwhash_MEMLIMIT_MODERATE / 1024;
    if (sodium_init() >= 0) {
        randombytes_buf(secrets.salt.data(), secrets.salt.size());
        randombytes_buf(secrets.nonce.data(), secrets.nonce.size());
    }
    return secrets;
}

QByteArray backupBytes(const BackupContent& content, const QString& passphrase,
                       const BackupSecrets& secrets)
{
    Key key{};
    if (sodium_init() < 0 || !deriveKey(passphrase, secrets, key))
        return {};

    // The plain bytes are encrypted where they lie, behind the header, so a large store is
    // not held twice.
    QByteArray data = payload(content);
    const auto plainSize = data.size();
    data.resize(headerSize + plainSize + tagSize);
    unsigned char* out = bytesOf(data);
    std::memmove(out + headerSize, out, std::size_t(plainSize));
    std::memcpy(out, magic, magicSize);
    qToLittleEndian<quint16>(backupFormatVersion, out + versionAt);
    out[algorithmAt] = argon2id;
    qToLittleEndian<quint32>(secrets.opsLimit, out + opsAt);
    qToLittleEndian<quint32>(secrets.memLimitKiB, out + memAt);
    std::memcpy(out + saltAt, secrets.salt.data(), secrets.salt.size());
    std::memcpy(out + nonceAt, secrets.nonce.data(), secrets.nonce.size());
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
        out + headerSize, out + headerSize + plainSize, nullptr, out + headerSize,
        static_cast<unsigned long long>(plainSize), out, headerSize, nullptr, out + nonceAt,
        key.data());
    sodium_memzero(key.data(), key.size());
    return data;
}

bool readBackupSecrets(const QByteArray& bytes, BackupSecrets* secrets)
{
    if (bytes.size() < headerSize + tagSize || std::memcmp(bytes.constData(), magic, magicSize))
        return false;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    if (qFromLittleEndian<quint16>(in + versionAt) != backupFormatVersion)
        return false;
    secrets->opsLimit = qFromLittleEndian<quint32>(in + opsAt);
    secrets->memLimitKiB = qFromLittleEndian<quint32>(in + memAt);
    std::memcpy(secrets->salt.data(), in + saltAt, secrets->salt.size());
    std::memcpy(secrets->nonce.data(), in + nonceAt, secrets->nonce.size());
    return in[algorithmAt] == argon2id && secrets->opsLimit >= crypto_pwhash_OPSLIMIT_MIN &&
           secrets->opsLimit <= maxOpsLimit &&
           std::size_t(secrets->memLimitKiB) * 1024 >= crypto_pwhash_MEMLIMIT_MIN &&
           secrets->memLimitKiB <= maxMemLimitKiB;
}

OpenedBackup openBackup(QByteArray bytes, const QString& passphrase)
{
    OpenedBackup opened;
    // A later version is named as such, before its header is read any further.
    if (bytes.size() >= versionAt + 2 && std::memcmp(bytes.constData(), magic, magicSize) == 0 &&
        qFromLittleEndian<quint16>(bytes.constData() + versionAt) > backupFormatVersion) {
        opened.problem = OpenedBackup::Problem::TooNew;
        return opened;
    }
    BackupSecrets secrets;
    if (!readBackupSecrets(bytes, &secrets))
        return opened;
    Key key{};
    if (sodium_init() < 0 || !deriveKey(passphrase, secrets, key)) {
        opened.problem = OpenedBackup::Problem::NoMemory;
        return opened;
    }
    const qsizetype plainSize = bytes.size() - headerSize - tagSize;
    unsigned char* in = bytesOf(bytes);
    const bool authentic =
        crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
            in + headerSize, nullptr, in + headerSize, static_cast<unsigned long long>(plainSize),
            in + headerSize + plainSize, in, headerSize, in + nonceAt, key.data()) == 0;
    sodium_memzero(key.data(), key.size());
    if (!authentic)
        return opened;
    bytes.truncate(headerSize + plainSize);
    bytes.remove(0, headerSize);

    // Authentic bytes come from a program that wrote this format; still read them leniently.
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const QJsonObject object = document.object();
    if (!document.isObject() || object.value("format").toString() != formatName)
        return opened;
    opened.content.accountId = object.value("account_id").toString();
    opened.content.userName = object.value("username").toString();
    opened.content.createdAt = qint64(object.value("created_at").toDouble());
    opened.content.programVersion = object.value("program_version").toString();
    opened.content.threads = object.value("threads").toArray();
    opened.problem = OpenedBackup::Problem::None;
    return opened;
}

OpenedBackup openBackupFile(const QString& path, const QString& passphrase)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxFileSize ||
        file.peek(magicSize) != QByteArray::fromRawData(magic, magicSize))
        return {};
    return openBackup(file.readAll(), passphrase);
}
