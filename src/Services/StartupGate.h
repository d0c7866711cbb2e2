#pragma once

#include <QCoroTask>

#include <chrono>
#include <functional>

class QObject;

// Work the window's first frame does not need (the request for the live pack,
// the probe of the local model server, the updater's schedule and tidying)
// waits until that frame is drawn: none of it, nor the TLS library, a network
// thread or a disk scan it brings, stands between starting the program and
// seeing its window. The application holds the gate while it builds its window;
// where nobody holds it (tests, tools, the pack service) the work runs at once.
// User-interface thread only.
namespace StartupGate {

// Held until release(), or until `longest` has passed, so that a window that is
// never drawn (minimised, on another desktop) holds nothing back for long.
void hold(std::chrono::milliseconds longest = std::chrono::seconds(1));
void release();
bool isHeld();

// Runs `work` now when the gate is not held, otherwise once it is released,
// unless `context` is gone by then.
void whenReleased(QObject *context, std::function<void()> work);

// Resumes at once when the gate is not held, otherwise once it is released.
QCoro::Task<> released();

} // namespace StartupGate
