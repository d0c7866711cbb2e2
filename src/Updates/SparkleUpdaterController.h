#pragma once

#include "UpdaterUserDriver.h"

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

class QJSEngine;
class QQmlEngine;
class Updater;

// The one update controller of the process. The toolbar, the updates card and
// the menu all call its checkForUpdates; the card binds to its two settings,
// which live in the updater alone (no copy is kept here).
class SparkleUpdaterController : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates WRITE
            setAutomaticallyChecksForUpdates NOTIFY objectWillChange)
    Q_PROPERTY(bool automaticallyDownloadsUpdates READ automaticallyDownloadsUpdates WRITE
            setAutomaticallyDownloadsUpdates NOTIFY objectWillChange)
    Q_PROPERTY(QString currentVersionLabel READ currentVersionLabel NOTIFY objectWillChange)
    Q_PROPERTY(QString feedHost READ feedHost CONSTANT)
    // Empty for a copy that updates itself; otherwise why it does not (for
    // example that updates come from the package manager).
    Q_PROPERTY(QString installNote READ installNote CONSTANT)
    Q_PROPERTY(UpdaterUserDriver *userDriver READ userDriver CONSTANT)

public:
    // Created on first use, once, whatever thread asks first; never destroyed.
    static SparkleUpdaterController &shared();
    // QML sees the same shared instance; the engine never owns it.
    static SparkleUpdaterController *create(QQmlEngine *, QJSEngine *engine);

    Q_INVOKABLE void checkForUpdates();

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool value);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool value);

    // "1.4 (27)" from the information dictionary; "—" stands for a missing key.
    static QString currentVersionLabel();
    // The host of the configured update feed, for the card's caption.
    static QString feedHost();
    QString installNote() const;

    Updater &updater() const { return *m_updater; }
    UpdaterUserDriver *userDriver() const;

Q_SIGNALS:
    void objectWillChange();
    // Emitted by every checkForUpdates, whoever called it.
    void checkStarted();

private:
    SparkleUpdaterController();

    Updater *m_updater;
};
