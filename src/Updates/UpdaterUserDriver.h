#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

struct AppcastItem;

// What the updater's own dialogs show, and the operator's answers. The updater
// sets the stage; the dialogs (UpdaterDialogs.qml) bind to it and call the
// answer methods, and so can a test, without a window.
class UpdaterUserDriver : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The updater owns its user driver")
    Q_PROPERTY(Stage stage READ stage NOTIFY changed)
    Q_PROPERTY(QString title READ title NOTIFY changed)
    Q_PROPERTY(QString message READ message NOTIFY changed)
    Q_PROPERTY(QString releaseNotes READ releaseNotes NOTIFY changed)
    Q_PROPERTY(QString releaseNotesLink READ releaseNotesLink NOTIFY changed)
    Q_PROPERTY(bool canInstall READ canInstall NOTIFY changed)
    Q_PROPERTY(bool canSkip READ canSkip NOTIFY changed)
    Q_PROPERTY(QString installNote READ installNote NOTIFY changed)
    Q_PROPERTY(double progress READ progress NOTIFY changed)

public:
    enum class Stage {
        Hidden,
        Checking,
        UpToDate,
        UpdateFound,
        Downloading,
        Installing,
        Installed,
        Failed,
        AskAutomaticChecks,
    };
    Q_ENUM(Stage)

    explicit UpdaterUserDriver(QObject *parent = nullptr);

    Stage stage() const { return m_stage; }
    QString title() const { return m_title; }
    QString message() const { return m_message; }
    QString releaseNotes() const { return m_releaseNotes; }
    QString releaseNotesLink() const { return m_releaseNotesLink; }
    bool canInstall() const { return m_canInstall; }
    bool canSkip() const { return m_canSkip; }
    QString installNote() const { return m_installNote; }
    double progress() const { return m_progress; } // 0..1, or -1 when unknown

    // Set by the updater.
    void showChecking();
    void showUpToDate(const QString &runningVersion);
    void showUpdateFound(
        const AppcastItem &item, const QString &runningVersion, const QString &installNote);
    void showDownloading(qint64 received, qint64 total);
    void showInstalling();
    void showInstalled(const QString &version);
    void showReadyOnQuit(const QString &version);
    void showError(const QString &reason);
    void askAutomaticChecks();
    void hide();

    // The operator's answers.
    Q_INVOKABLE void install();
    Q_INVOKABLE void skipThisVersion();
    Q_INVOKABLE void remindMeLater();
    Q_INVOKABLE void cancel();
    Q_INVOKABLE void dismiss();
    Q_INVOKABLE void relaunch();
    Q_INVOKABLE void answerAutomaticChecks(bool check);

Q_SIGNALS:
    void changed();
    void installChosen();
    void skipChosen();
    void remindLaterChosen();
    void cancelChosen();
    void relaunchChosen();
    void automaticChecksAnswered(bool check);

private:
    void show(Stage stage, const QString &title, const QString &message);

    Stage m_stage = Stage::Hidden;
    QString m_title;
    QString m_message;
    QString m_releaseNotes;
    QString m_releaseNotesLink;
    bool m_canInstall = false;
    bool m_canSkip = false;
    QString m_installNote;
    double m_progress = -1;
};
