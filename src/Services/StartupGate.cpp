#include "StartupGate.h"

#include <QCoreApplication>
#include <QCoroSignal>
#include <QObject>
#include <QTimer>

namespace {

class Gate : public QObject
{
    Q_OBJECT

public:
    bool held = false;
    QTimer longest;

    Gate()
    {
        longest.setSingleShot(true);
        connect(&longest, &QTimer::timeout, this, &Gate::open);
    }

    void open()
    {
        longest.stop();
        if (!held)
            return;
        held = false;
        Q_EMIT released();
    }

Q_SIGNALS:
    void released();
};

Gate &gate()
{
    // Lives until the process ends, like the work it holds back.
    static Gate *const instance = new Gate;
    return *instance;
}

} // namespace

namespace StartupGate {

void hold(std::chrono::milliseconds longest)
{
    Gate &g = gate();
    g.held = true;
    g.longest.start(longest);
}

void release()
{
    gate().open();
}

bool isHeld()
{
    return gate().held;
}

void whenReleased(QObject *context, std::function<void()> work)
{
    if (!isHeld()) {
        work();
        return;
    }
    QObject::connect(&gate(), &Gate::released, context, std::move(work), Qt::SingleShotConnection);
}

QCoro::Task<> released()
{
    if (!isHeld())
        co_return;
    co_await qCoro(&gate(), &Gate::released);
}

} // namespace StartupGate

#include "StartupGate.moc"
