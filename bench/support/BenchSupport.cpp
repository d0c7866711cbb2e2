#include "BenchSupport.h"

#include <cstdio>

namespace Bench {

namespace {
bool g_missed = false;

void printLine(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}
} // namespace

StallMeter::StallMeter()
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
}

void StallMeter::start()
{
    m_longestNs = 0;
    m_clock.start();
    m_last = 0;
    m_timer.start();
}

void StallMeter::stop()
{
    tick();
    m_timer.stop();
}

void StallMeter::tick()
{
    const qint64 now = m_clock.nsecsElapsed();
    m_longestNs = std::max(m_longestNs, now - m_last);
    m_last = now;
}

bool reportRatio(const QString &name, double measuredNs, double baselineNs, double budgetRatio,
    bool higherIsBetter)
{
    const double ratio = higherIsBetter ? baselineNs / measuredNs : measuredNs / baselineNs;
    const bool ok = higherIsBetter ? ratio >= budgetRatio : ratio <= budgetRatio;
    g_missed = g_missed || !ok;
    printLine(QStringLiteral("%1: %2 us vs baseline %3 us = %4x %5 (budget %6 %7x)")
                  .arg(name)
                  .arg(measuredNs / 1e3, 0, 'f', 1)
                  .arg(baselineNs / 1e3, 0, 'f', 1)
                  .arg(ratio, 0, 'f', 2)
                  .arg(higherIsBetter ? QStringLiteral("faster") : QStringLiteral("as long"))
                  .arg(higherIsBetter ? QStringLiteral(">=") : QStringLiteral("<="))
                  .arg(budgetRatio)
        + (ok ? QString() : QStringLiteral("  OVER BUDGET")));
    return ok;
}

bool reportRatioIn(
    const QString &name, double measured, double baseline, double budgetRatio, const QString &unit)
{
    const double ratio = measured / baseline;
    const bool ok = ratio <= budgetRatio;
    g_missed = g_missed || !ok;
    printLine(QStringLiteral("%1: %2 %3 vs baseline %4 %3 = %5x as much (budget <= %6x)")
                  .arg(name)
                  .arg(measured, 0, 'f', 0)
                  .arg(unit)
                  .arg(baseline, 0, 'f', 0)
                  .arg(ratio, 0, 'f', 2)
                  .arg(budgetRatio)
        + (ok ? QString() : QStringLiteral("  OVER BUDGET")));
    return ok;
}

bool reportAbsolute(const QString &name, double measured, double budget, const QString &unit)
{
    const bool ok = measured <= budget;
    g_missed = g_missed || !ok;
    printLine(QStringLiteral("%1: %2 %3 (budget < %4 %3)%5")
                  .arg(name)
                  .arg(measured, 0, 'f', 3)
                  .arg(unit)
                  .arg(budget)
                  .arg(ok ? QString() : QStringLiteral("  OVER BUDGET")));
    return ok;
}

void reportValue(const QString &name, double value, const QString &unit)
{
    printLine(QStringLiteral("%1: %2 %3").arg(name).arg(value, 0, 'f', 3).arg(unit));
}

int exitCode()
{
    return g_missed ? 1 : 0;
}

} // namespace Bench
