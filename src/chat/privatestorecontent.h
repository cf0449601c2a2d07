#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>

// The private threads of an account as their sealed file holds them.
struct PrivateStoreContent {
    enum class Problem {
        None,       // the threads (none on a first start, when there is no file yet)
        CannotOpen, // a file is there, but it does not unseal for this user here
        NotAStore,  // it unseals to something other than a JSON object
    };
    Problem problem = Problem::None;
    QJsonArray threads;
};

// Reads the unsealed bytes of the store. Empty bytes are a first start when there is no
// file, a file that did not unseal otherwise. Keys are read leniently: "threads" that is no
// array reads as no threads.
PrivateStoreContent readPrivateStore(const QByteArray& plain, bool fileExists);

// The bytes to seal for `threads`: a compact JSON object {"threads": [...]}.
QByteArray privateStoreBytes(const QJsonArray& threads);

// The store's file name for an account id that comes from the service: "private-" + id +
// ".bin", every character outside the few that are safe in file names everywhere
// percent-encoded, so that no id ("/", "\\", "..") reaches outside the data folder.
QString privateStoreFileName(const QString& accountId);
