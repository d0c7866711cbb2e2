#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

class QJSEngine;
class QQmlEngine;

// What the window header says about the model on this machine: the coach's
// availability sentence and whether to show it as available. Both are read
// anew from the model layer whenever its availability changes, so the header
// never shows a stale answer and never waits for a probe.
class OnDeviceModel : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString statusText READ statusText NOTIFY changed)
    Q_PROPERTY(bool available READ available NOTIFY changed)

public:
    explicit OnDeviceModel(QObject *parent = nullptr);
    static OnDeviceModel *create(QQmlEngine *, QJSEngine *);

    static QString statusText();
    static bool available();

Q_SIGNALS:
    void changed();
};
