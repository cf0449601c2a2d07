#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>

#include <array>
#include <cstdint>

// A passphrase backup of an account's private threads: the one file that carries them from
// one machine (or user, or platform) to another. docs/private-backup.md describes its bytes.

struct BackupContent {
    QString accountId;
    QString userName;
    qint64 createdAt = 0; // seconds since 1970-01-01 00:00 UTC
    QString programVersion;
    QJsonArray threads; // the records as the private store holds them
};

// The argon2id cost of turning the passphrase into the key, and the random values of one file.
struct BackupSecrets {
    std::uint32_t opsLimit = 0;
    std::uint32_t memLimitKiB = 0;
    std::array<unsigned char, 16> salt{};
    std::array<unsigned char, 24> nonce{};
};

inline constexpr std::uint16_t backupFormatVersion = 1;
inline constexpr int minimumPassphraseLength = 10;

// Fresh salt and nonce, and the cost a new backup is made with.
BackupSecrets newBackupSecrets();

// The backup file's bytes, or empty bytes when the key cannot be derived (no memory).
QByteArray backupBytes(const BackupContent& content, const QString& passphrase,
                       const BackupSecrets& secrets);

struct OpenedBackup {
    enum class Problem {
        None,
        Unreadable, // not a backup, damaged, or the passphrase is wrong: none can be told apart
        TooNew,     // made by a newer program, in a format this one does not know
        NoMemory,   // the key could not be derived here
    };
    Problem problem = Problem::Unreadable;
    BackupContent content;
};

// Opens a backup file's bytes with `passphrase`; the bytes are decrypted in place.
OpenedBackup openBackup(QByteArray bytes, const QString& passphrase);

// Opens the backup file at `path`. A file that does not start as a backup is not read any
// further, so that a large file chosen by mistake costs nothing.
OpenedBackup openBackupFile(const QString& path, const QString& passphrase);

// The cost a file names, read before anything is decrypted; false when the bytes are no backup
// of a known version.
bool readBackupSecrets(const QByteArray& bytes, BackupSecrets* secrets);
