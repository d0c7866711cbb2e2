#include "PackServiceProcess.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

PackServiceProcess::PackServiceProcess()
    : PackServiceProcess(Options {})
{ }

PackServiceProcess::PackServiceProcess(Options options)
    : m_options(std::move(options))
{
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] { collect(); });
}

PackServiceProcess::~PackServiceProcess()
{
    kill();
}

QString PackServiceProcess::defaultSeedPath()
{
    // This file sits in tests/support/ of the same source tree.
    const QDir support = QFileInfo(QStringLiteral(__FILE__)).absoluteDir();
    return QDir::cleanPath(
        support.absoluteFilePath(QStringLiteral("../../tools/pack-service/seed/tavi-pack.json")));
}

void PackServiceProcess::collect()
{
    m_stdout += m_process.readAllStandardOutput();
    m_stderr += m_process.readAllStandardError();
}

bool PackServiceProcess::start(std::chrono::milliseconds timeout)
{
    kill();
    m_stdout.clear();
    m_stderr.clear();
    m_baseUrl.clear();

    const QString program = qEnvironmentVariable("TAVI_PACK_SERVICE_BIN");
    if (program.isEmpty())
        return false;
    QStringList arguments {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
        QStringLiteral("--db"), m_options.db, QStringLiteral("--seed"),
        m_options.seed.isEmpty() ? defaultSeedPath() : m_options.seed};
    // The token goes through the environment, not the command line, where any
    // local user could read it in the process list.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("TAVI_TEST_OPERATOR_TOKEN"));
    if (!m_options.token.isEmpty()) {
        environment.insert(QStringLiteral("TAVI_TEST_OPERATOR_TOKEN"), m_options.token);
        arguments << QStringLiteral("--token-env") << QStringLiteral("TAVI_TEST_OPERATOR_TOKEN");
    }
    if (!m_options.modelUrl.isEmpty())
        arguments << QStringLiteral("--model-url") << m_options.modelUrl;
    if (!m_options.model.isEmpty())
        arguments << QStringLiteral("--model") << m_options.model;
    arguments << m_options.extraArguments;

    m_process.setProcessEnvironment(environment);
    m_process.start(program, arguments);
    if (!waitForOutput(QStringLiteral("listening on http://"), timeout))
        return false;
    static const QRegularExpression address(QStringLiteral("listening on (http://\\S+)"));
    const QRegularExpressionMatch match = address.match(QString::fromUtf8(m_stdout));
    m_baseUrl = QUrl(match.captured(1));
    return m_baseUrl.isValid() && m_baseUrl.port() > 0;
}

bool PackServiceProcess::waitForOutput(const QString &text, std::chrono::milliseconds timeout)
{
    const QByteArray wanted = text.toUtf8();
    if (m_stdout.contains(wanted))
        return true;
    if (m_process.state() == QProcess::NotRunning)
        return false;

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = [&] {
        collect();
        if (m_stdout.contains(wanted))
            loop.quit();
    };
    const auto outConnection
        = QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop, check);
    const auto endConnection
        = QObject::connect(&m_process, &QProcess::finished, &loop, [&] { loop.quit(); });
    timer.start(timeout);
    loop.exec();
    QObject::disconnect(outConnection);
    QObject::disconnect(endConnection);
    collect();
    return m_stdout.contains(wanted);
}

void PackServiceProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
    collect();
}

bool PackServiceProcess::restart(std::chrono::milliseconds timeout)
{
    return start(timeout);
}

bool PackServiceProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

QString PackServiceProcess::output() const
{
    return QString::fromUtf8(m_stdout) + QString::fromUtf8(m_stderr);
}
