// PackAPI end to end against the reference pack service running as its own
// process on a loopback port: what the operator's tool really talks to.

#include "Await.h"
#include "PackAPI.h"
#include "PackServiceProcess.h"
#include "ScriptedModelServer.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

class TestPackAPIService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { PackAPI::setRequestTimeoutForTesting(20s); }

    void everyOperation_data()
    {
        QTest::addColumn<QString>("token");
        QTest::newRow("without a token") << QString();
        QTest::newRow("with a token") << u"op token ✓ inside"_s;
    }

    void everyOperation()
    {
        QFETCH(QString, token);
        ScriptedModelServer model;
        model.setAnswer(
            uR"({"voice":"Brisk and bright.","cta":"Book now?","confirm_copy":"Sure?"})"_s);
        PackServiceProcess::Options options;
        options.token = token;
        options.modelUrl = model.baseUrl().toString();
        options.model = model.modelName();
        PackServiceProcess service(options);
        QVERIFY2(service.start(), qPrintable(service.output()));
        const PackAPI api {service.baseUrl(), token};

        const CapabilityPack live = awaitTask(api.current());
        const CapabilityPack coached = awaitTask(api.coach(u"Make it brisk"_s, live));
        QCOMPARE(coached.modules.persona.voice, u"Brisk and bright."_s);
        QCOMPARE(coached.modules.replyRules.cta, u"Book now?"_s);

        model.setAnswer(u"Halo, saya Tavi ✈️"_s);
        QCOMPARE(awaitTask(api.preview(u"Halo"_s, coached)), u"Halo, saya Tavi ✈️"_s);

        const CapabilityPack published = awaitTask(api.publish(coached));
        QCOMPARE(published.parentVersion, std::optional<QString>(live.version));
        QCOMPARE(published.modules, coached.modules);
        QCOMPARE(awaitTask(api.current()), published);

        const CapabilityPack rolledBack = awaitTask(api.rollback());
        QCOMPARE(rolledBack.version, live.version);
        QCOMPARE(rolledBack.modules, live.modules);
        QCOMPARE(awaitTask(api.current()).version, live.version);
    }
};

QTEST_GUILESS_MAIN(TestPackAPIService)
#include "test_pack_api_service.moc"
