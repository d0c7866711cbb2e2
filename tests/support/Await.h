#pragma once

// Runs a coroutine to its end on a local event loop from a test. QCoro::waitFor
// never returns when the awaited task throws, so the task is awaited inside a
// wrapper that catches, and the exception is rethrown here.

#include "TaviError.h"

#include <QCoroTask>
#include <QString>

#include <exception>
#include <optional>
#include <type_traits>

namespace TestAwait {

template<typename T>
QCoro::Task<> capture(QCoro::Task<T> task, std::optional<T> *value, std::exception_ptr *error)
{
    try {
        value->emplace(co_await std::move(task));
    } catch (...) {
        *error = std::current_exception();
    }
}

inline QCoro::Task<> captureVoid(QCoro::Task<> task, std::exception_ptr *error)
{
    try {
        co_await std::move(task);
    } catch (...) {
        *error = std::current_exception();
    }
}

} // namespace TestAwait

// The task's result; its exception is rethrown.
template<typename T> T awaitTask(QCoro::Task<T> task)
{
    if constexpr (std::is_void_v<T>) {
        std::exception_ptr error;
        QCoro::waitFor(TestAwait::captureVoid(std::move(task), &error));
        if (error)
            std::rethrow_exception(error);
    } else {
        std::optional<T> value;
        std::exception_ptr error;
        QCoro::waitFor(TestAwait::capture(std::move(task), &value, &error));
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
}

// The description of the TaviError the task fails with; a null QString when it
// succeeds; rethrows anything that is not a TaviError.
template<typename T> QString awaitError(QCoro::Task<T> task)
{
    try {
        awaitTask(std::move(task));
    } catch (const TaviError &error) {
        return error.description();
    }
    return QString();
}
