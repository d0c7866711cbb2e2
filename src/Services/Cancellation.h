#pragma once

#include <QObject>

#include <memory>

// Stops requests while they are in flight. Whoever starts a batch of requests
// (a review run) hands each one the same shared object; cancel() aborts every
// request that holds it, and any that starts afterwards fails at once. The
// requests keep it alive themselves, so their owner may go first.
class Cancellation : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    bool isCancelled() const { return m_cancelled; }
    // Idempotent; the aborts themselves happen from the event loop.
    void cancel()
    {
        if (m_cancelled)
            return;
        m_cancelled = true;
        Q_EMIT cancelled();
    }

Q_SIGNALS:
    void cancelled();

private:
    bool m_cancelled = false;
};

using CancellationHandle = std::shared_ptr<Cancellation>;
