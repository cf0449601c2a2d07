#pragma once

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <functional>

// Serialises, seals and writes private stores on a thread of its own, one save at a time and
// in the order asked, so that a large store does not stop the window while it is written.
class PrivateStoreWriter
{
public:
    PrivateStoreWriter();
    // Waits for the saves still running: a save once started always ends on disk or fails.
    ~PrivateStoreWriter();
    PrivateStoreWriter(const PrivateStoreWriter&) = delete;
    PrivateStoreWriter& operator=(const PrivateStoreWriter&) = delete;

    // Saves `threads` into the sealed file `fileName`. `done` gets the result on `context`'s
    // thread, unless `context` is gone by then. `context` must outlive the writer (own it),
    // so that it exists while a save runs.
    void save(const QString& fileName, const QJsonArray& threads, QObject* context,
              std::function<void(bool saved)> done);

    // Blocks until every save asked for so far has ended.
    void wait();

private:
    QThreadPool pool;
};
