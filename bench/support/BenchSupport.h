#pragma once

// Benchmarks report ratios against a baseline measured in the same run, so the
// numbers mean the same on a slow CI machine and a fast desktop.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <vector>

namespace Bench {

// Median wall time of one call of `fn`, in nanoseconds, over `runs` calls
// (after one warm-up call).
template<typename F> double medianNanos(F &&fn, int runs)
{
    fn();
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        fn();
        samples.push_back(static_cast<double>(timer.nsecsElapsed()));
    }
    std::nth_element(samples.begin(), samples.begin() + runs / 2, samples.end());
    return samples[static_cast<size_t>(runs / 2)];
}

// Measures the longest time the current thread's event loop went without
// running a 1 ms timer: how long the loop was stalled.
class StallMeter : public QObject
{
public:
    StallMeter();
    void start();
    void stop();
    double longestStallMs() const { return m_longestNs / 1e6; }

private:
    void tick();
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longestNs = 0;
};

// One line of the report. `budgetRatio` is the largest acceptable measured/baseline
// (or, with `higherIsBetter`, the smallest acceptable baseline/measured).
// Returns whether the budget holds; a missed budget is remembered for exitCode().
bool reportRatio(const QString &name, double measuredNs, double baselineNs, double budgetRatio,
    bool higherIsBetter = false);
// The same for a quantity that is not a time, in `unit` (kB of memory and the like).
bool reportRatioIn(
    const QString &name, double measured, double baseline, double budgetRatio, const QString &unit);
// An absolute budget, in the unit given, for numbers with no natural baseline
// (stalls of a frame, microseconds per keystroke).
bool reportAbsolute(const QString &name, double measured, double budget, const QString &unit);
// A number with no budget.
void reportValue(const QString &name, double value, const QString &unit);

// 0 when every budget held, 1 otherwise.
int exitCode();

} // namespace Bench
