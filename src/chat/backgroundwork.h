#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <utility>

// Long work (a key derivation, encrypting a large store) on a thread of its own, one job at
// a time, with the result handed back on the thread of a context object.
class BackgroundWork
{
public:
    BackgroundWork() { pool.setMaxThreadCount(1); }
    // Waits for a job still running: a file it writes is whole or not there at all.
    ~BackgroundWork() { pool.waitForDone(); }
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    // `context` must outlive this object (own it), so that it exists while a job runs; a
    // result that arrives after `context` is gone is dropped with it.
    template <typename Result>
    void run(QObject* context, std::function<Result()> work, std::function<void(Result)> done)
    {
        pool.start([context, work = std::move(work), done = std::move(done)] {
            auto result = std::make_shared<Result>(work());
            QMetaObject::invokeMethod(
                context, [done, result] { done(std::move(*result)); }, Qt::QueuedConnection);
        });
    }

    void wait() { pool.waitForDone(); }

private:
    QThreadPool pool;
};
