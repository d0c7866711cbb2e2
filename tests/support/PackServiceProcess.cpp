#include "PackServiceProcess.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

PackServiceProcess::PackServiceProcess(Options options)
    : m_options(std::move(options))
{
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] { collect(); });
}

QString PackServiceProcess::defaultSeedPath()
{
    // From the build's own record of the source tree: __FILE__ may be relative
    // (compiler caches rewrite it), and tests run from the build tree.
    return QStringLiteral(TAVI_SOURCE_DIR "/tools/pack-service/seed/tavi-pack.json");
}

void PackServiceProcess::collect()
{
    m_stdout += m_process.readAllStandardOutput();
    m_stderr += m_process.readAllStandardError();
}

bool PackServiceProcess::start()
{
    kill();
    m_stdout.clear();
    m_stderr.clear();
    QStringList arguments {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
        QStringLiteral("--db"), m_options.db, QStringLiteral("--seed"),
        m_options.seed.isEmpty() ? defaultSeedPath() : m_options.seed};
    // The token goes through the environment: the process list is readable by all.
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
    m_process.setProcessEnvironment(environment);
    m_process.start(
        qEnvironmentVariable("TAVI_PACK_SERVICE_BIN"), arguments + m_options.extraArguments);
    waitForOutput(QStringLiteral("listening on http://"));
    static const QRegularExpression address(QStringLiteral("listening on (http://\\S+)"));
    m_baseUrl = QUrl(address.match(QString::fromUtf8(m_stdout)).captured(1));
    return m_baseUrl.port() > 0;
}

bool PackServiceProcess::waitForOutput(const QString &text, std::chrono::milliseconds timeout)
{
    const auto seen = [&] {
        collect();
        return m_stdout.contains(text.toUtf8()) || m_process.state() == QProcess::NotRunning;
    };
    return QTest::qWaitFor(seen, int(timeout.count())) && m_stdout.contains(text.toUtf8());
}

void PackServiceProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
    collect();
}
