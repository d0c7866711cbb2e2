#pragma once

#include <QDateTime>
#include <QTimer>

#include <functional>
#include <memory>

// Time as the updater's scheduler sees it. Tests give the updater a clock they
// move by hand; the program uses the system clock.
class UpdaterClock
{
public:
    virtual ~UpdaterClock() = default;
    virtual QDateTime now() const = 0;
    // Runs `action` once at `when` (or soon, when that has passed); replaces
    // any call arranged before.
    virtual void callAt(const QDateTime &when, std::function<void()> action) = 0;
    virtual void cancel() = 0;
};

class SystemUpdaterClock : public UpdaterClock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    void callAt(const QDateTime &when, std::function<void()> action) override;
    void cancel() override;

private:
    void arm();

    std::unique_ptr<QTimer> m_timer; // made on the thread that first schedules
    QDateTime m_when;
    std::function<void()> m_action;
};
