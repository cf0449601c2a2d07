#include "chat/privatestorewriter.h"

#include "chat/privatestorefile.h"

#include <QMetaObject>

PrivateStoreWriter::PrivateStoreWriter()
{
    pool.setMaxThreadCount(1); // one thread: saves land in the order they were asked for
    pool.setExpiryTimeout(-1);
}

PrivateStoreWriter::~PrivateStoreWriter()
{
    wait();
}

void PrivateStoreWriter::save(const QString& fileName, const QJsonArray& threads, QObject* context,
                              std::function<void(bool)> done)
{
    // `threads` is shared, not copied: the window's later changes detach its own copy.
    pool.start([fileName, threads, context, done = std::move(done)] {
        const bool saved = savePrivateStoreFile(fileName, threads);
        // A result posted to a context deleted before it arrives is dropped with it.
        QMetaObject::invokeMethod(
            context, [done = std::move(done), saved] { done(saved); }, Qt::QueuedConnection);
    });
}

void PrivateStoreWriter::wait()
{
    pool.waitForDone();
}
