// PackAPI end to end against the reference pack service running as its own
// process on a loopback port: what the operator's tool really talks to.

#include "Await.h"
#include "PackAPI.h"
#include "PackAPIError.h"
#include "PackServiceProcess.h"
#include "ScriptedModelServer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace std::chrono_literals;

namespace {

CapabilityPack seedPack()
{
    QFile file(PackServiceProcess::defaultSeedPath());
    if (!file.open(QIODevice::ReadOnly))
        qFatal("no seed pack");
    return CapabilityPack::fromJson(file.readAll());
}

QJsonObject errorBody(const QString &description, int status)
{
    const QString prefix = QStringLiteral("API %1: ").arg(status);
    if (!description.startsWith(prefix))
        return {};
    return QJsonDocument::fromJson(description.mid(prefix.size()).toUtf8()).object();
}

} // namespace

class TestPackAPIService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { PackAPI::setRequestTimeoutForTesting(20s); }

    void everyOperation_data()
    {
        QTest::addColumn<QString>("token");
        QTest::newRow("service without a token") << QString();
        QTest::newRow("service with a token") << QStringLiteral("op token ✓ inside");
    }

    void everyOperation()
    {
        QFETCH(QString, token);
        ScriptedModelServer model;
        model.setAnswer(QStringLiteral(
            R"({"voice":"Brisk and bright.","cta":"Book now?","confirm_copy":"Sure?"})"));
        PackServiceProcess::Options options;
        options.token = token;
        options.modelUrl = model.baseUrl().toString();
        options.model = model.modelName();
        PackServiceProcess service(options);
        QVERIFY2(service.start(), qPrintable(service.output()));
        const PackAPI api {service.baseUrl(), token};

        const CapabilityPack seed = seedPack();
        const CapabilityPack live = awaitTask(api.current());
        QCOMPARE(live.packId, seed.packId);
        QCOMPARE(live.modules, seed.modules);

        const CapabilityPack coached = awaitTask(api.coach(QStringLiteral("Make it brisk"), live));
        QCOMPARE(coached.modules.persona.voice, QStringLiteral("Brisk and bright."));
        QCOMPARE(coached.modules.replyRules.cta, QStringLiteral("Book now?"));
        QCOMPARE(coached.version, live.version);

        model.setAnswer(QStringLiteral("Halo, saya Tavi ✈️"));
        QCOMPARE(awaitTask(api.preview(QStringLiteral("Halo"), coached)),
            QStringLiteral("Halo, saya Tavi ✈️"));

        const CapabilityPack published = awaitTask(api.publish(coached));
        QVERIFY(published.version != live.version);
        QCOMPARE(published.parentVersion, std::optional<QString>(live.version));
        QCOMPARE(published.modules, coached.modules);
        QCOMPARE(awaitTask(api.current()), published);

        const CapabilityPack rolledBack = awaitTask(api.rollback());
        QCOMPARE(rolledBack.version, live.version);
        QCOMPARE(rolledBack.modules, live.modules);
        QCOMPARE(awaitTask(api.current()).version, live.version);
    }

    void refusals()
    {
        const QString token = QStringLiteral("s3cret");
        PackServiceProcess::Options options;
        options.token = token;
        PackServiceProcess service(options);
        QVERIFY2(service.start(), qPrintable(service.output()));
        const PackAPI api {service.baseUrl(), token};

        // 401: no token, a wrong one, one in the wrong case.
        for (const QString &wrong :
            {QString(), QStringLiteral("s3cre"), QStringLiteral("S3CRET")}) {
            const PackAPI intruder {service.baseUrl(), wrong};
            QCOMPARE(awaitError(intruder.current()), QStringLiteral("API 401: unauthorized"));
            QCOMPARE(awaitError(intruder.rollback()), QStringLiteral("API 401: unauthorized"));
        }

        // 409: a stale draft, and rollback with nothing to go back to.
        const CapabilityPack live = awaitTask(api.current());
        QString error = awaitError(api.rollback());
        QVERIFY2(errorBody(error, 409).contains(QLatin1String("error")), qPrintable(error));
        CapabilityPack stale = live;
        stale.version = QStringLiteral("not-the-live-one");
        error = awaitError(api.publish(stale));
        const QJsonObject conflict = errorBody(error, 409);
        QVERIFY2(conflict.contains(QLatin1String("error")), qPrintable(error));
        QCOMPARE(conflict.value(QLatin1String("live_version")).toString(), live.version);

        // A draft with a lone surrogate (what a broken paste leaves in a text
        // field) has no JSON form: it is refused before anything is sent.
        CapabilityPack broken = live;
        broken.modules.persona.voice = QStringLiteral("Warm ") + QChar(0xD800);
        error = awaitError(api.publish(broken));
        QVERIFY2(error.contains(QLatin1String("lone surrogate")), qPrintable(error));

        // 503: coach and preview without a model to ask.
        error = awaitError(api.coach(QStringLiteral("warmer"), live));
        QVERIFY2(errorBody(error, 503).contains(QLatin1String("error")), qPrintable(error));
        error = awaitError(api.preview(QStringLiteral("hi"), live));
        QVERIFY2(errorBody(error, 503).contains(QLatin1String("error")), qPrintable(error));

        // Nothing refused changed the live pack.
        QCOMPARE(awaitTask(api.current()), live);
    }
};

QTEST_GUILESS_MAIN(TestPackAPIService)
#include "test_pack_api_service.moc"
