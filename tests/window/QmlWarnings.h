#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The window's tests fail on any warning from QML or JavaScript: installed as
// the message handler, this keeps those and passes every message on.
inline QStringList qmlWarnings;
inline QtMessageHandler defaultHandler = nullptr;

inline void recordQmlWarnings(
    QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QLatin1String category(context.category ? context.category : "");
    if (type != QtDebugMsg && type != QtInfoMsg
        && (category.startsWith(QLatin1String("qml")) || category.startsWith(QLatin1String("js"))
            || message.contains(QLatin1String(".qml:"))))
        qmlWarnings.append(message);
    defaultHandler(type, context, message);
}
