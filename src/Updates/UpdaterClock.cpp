#include "UpdaterClock.h"

#include <algorithm>

void SystemUpdaterClock::callAt(const QDateTime &when, std::function<void()> action)
{
    m_when = when;
    m_action = std::move(action);
    arm();
}

void SystemUpdaterClock::cancel()
{
    if (m_timer)
        m_timer->stop();
    m_action = nullptr;
}

void SystemUpdaterClock::arm()
{
    // Re-armed at most hourly, so a suspended machine or a changed wall clock
    // is noticed within the hour.
    if (!m_timer) {
        m_timer = std::make_unique<QTimer>();
        m_timer->setSingleShot(true);
        m_timer->setTimerType(Qt::VeryCoarseTimer);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] {
            if (now() < m_when) {
                arm();
                return;
            }
            auto action = std::exchange(m_action, nullptr);
            if (action)
                action();
        });
    }
    const qint64 wait = std::clamp<qint64>(now().msecsTo(m_when), 0, 3'600'000);
    m_timer->start(static_cast<int>(wait));
}
