#include "UpdaterUserDriver.h"

#include "Appcast.h"

UpdaterUserDriver::UpdaterUserDriver(QObject *parent)
    : QObject(parent)
{ }

void UpdaterUserDriver::show(Stage stage, const QString &title, const QString &message)
{
    m_stage = stage;
    m_title = title;
    m_message = message;
    if (stage != Stage::UpdateFound) {
        m_releaseNotes.clear();
        m_releaseNotesLink.clear();
        m_canInstall = false;
        m_canSkip = false;
    }
    if (stage != Stage::Downloading)
        m_progress = -1;
    Q_EMIT changed();
}

void UpdaterUserDriver::showChecking()
{
    show(Stage::Checking, QStringLiteral("Checking for Updates…"), QString());
}

void UpdaterUserDriver::showUpToDate(const QString &runningVersion)
{
    show(Stage::UpToDate, QStringLiteral("You\u2019re up to date!"),
        QStringLiteral("Vuzev Tavi %1 is the newest version available.").arg(runningVersion));
}

void UpdaterUserDriver::showUpdateFound(
    const AppcastItem &item, const QString &runningVersion, const QString &installNote)
{
    m_releaseNotes = item.releaseNotes;
    m_releaseNotesLink = item.releaseNotesLink.toString();
    m_installNote = installNote;
    m_canInstall = installNote.isEmpty();
    m_canSkip = !item.critical;
    QString message = QStringLiteral("Vuzev Tavi %1 is available \u2014 you have %2.")
                          .arg(item.displayVersion(), runningVersion);
    if (item.critical)
        message += QStringLiteral(" This is a critical update.");
    m_stage = Stage::UpdateFound;
    m_title = QStringLiteral("A new version of Vuzev Tavi is available!");
    m_message = message;
    m_progress = -1;
    Q_EMIT changed();
}

void UpdaterUserDriver::showDownloading(qint64 received, qint64 total)
{
    const double progress = total > 0 ? double(received) / double(total) : -1;
    if (m_stage == Stage::Downloading && qFuzzyCompare(progress + 2, m_progress + 2))
        return;
    if (m_stage != Stage::Downloading)
        show(Stage::Downloading, QStringLiteral("Downloading update…"), QString());
    m_progress = progress;
    Q_EMIT changed();
}

void UpdaterUserDriver::showInstalling()
{
    show(Stage::Installing, QStringLiteral("Installing update…"),
        QStringLiteral("The update has been verified and is being installed."));
}

void UpdaterUserDriver::showInstalled(const QString &version)
{
    show(Stage::Installed, QStringLiteral("Update installed"),
        QStringLiteral("Vuzev Tavi %1 is installed and starts the next time you open it.")
            .arg(version));
}

void UpdaterUserDriver::showReadyOnQuit(const QString &version)
{
    show(Stage::Installed, QStringLiteral("Update ready"),
        QStringLiteral(
            "Vuzev Tavi %1 has been downloaded and verified; it is installed when you quit.")
            .arg(version));
}

void UpdaterUserDriver::showError(const QString &reason)
{
    show(Stage::Failed, QStringLiteral("Update Error!"), reason);
}

void UpdaterUserDriver::askAutomaticChecks()
{
    show(Stage::AskAutomaticChecks, QStringLiteral("Check for updates automatically?"),
        QStringLiteral("Should Vuzev Tavi automatically check for updates? You can always check "
                       "for updates manually from the menu."));
}

void UpdaterUserDriver::hide()
{
    show(Stage::Hidden, QString(), QString());
}

void UpdaterUserDriver::install()
{
    if (m_stage == Stage::UpdateFound && m_canInstall)
        Q_EMIT installChosen();
}

void UpdaterUserDriver::skipThisVersion()
{
    if (m_stage == Stage::UpdateFound && m_canSkip)
        Q_EMIT skipChosen();
}

void UpdaterUserDriver::remindMeLater()
{
    if (m_stage == Stage::UpdateFound)
        Q_EMIT remindLaterChosen();
}

void UpdaterUserDriver::cancel()
{
    if (m_stage == Stage::Downloading || m_stage == Stage::Checking)
        Q_EMIT cancelChosen();
}

void UpdaterUserDriver::dismiss()
{
    if (m_stage == Stage::UpToDate || m_stage == Stage::Failed || m_stage == Stage::Installed)
        hide();
}

void UpdaterUserDriver::relaunch()
{
    if (m_stage == Stage::Installed)
        Q_EMIT relaunchChosen();
}

void UpdaterUserDriver::answerAutomaticChecks(bool check)
{
    if (m_stage != Stage::AskAutomaticChecks)
        return;
    hide();
    Q_EMIT automaticChecksAnswered(check);
}
