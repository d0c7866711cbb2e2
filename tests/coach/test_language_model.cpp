#include "Await.h"
#include "LanguageModel.h"
#include "ScriptedModelServer.h"
#include "StartupGate.h"
#include "TaviCoach.h"

#include <QNetworkProxy>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Reason = SystemLanguageModel::Availability::Reason;

Q_DECLARE_METATYPE(Reason)
Q_DECLARE_METATYPE(ScriptedResponse)

namespace {

SystemLanguageModel &model()
{
    return SystemLanguageModel::defaultModel();
}

Reason refreshedReason()
{
    return awaitTask(model().refreshAvailability()).reason;
}

} // namespace

class TestLanguageModel : public QObject
{
    Q_OBJECT

private slots:
    void availabilityBranches_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<ScriptedResponse>("probe");
        QTest::addColumn<Reason>("reason");
        QTest::addColumn<QString>("status");
        const QString notEnabled = u"Turn on Apple Intelligence in System Settings to coach on "
                                   u"this Mac. Until then, Der Udez OV is the fallback."_s;
        const QString notReady
            = u"Apple Intelligence is on, but the on-device model is still downloading."_s;
        const auto models = [](const char *id) {
            return ScriptedResponse::json(200, "{\"data\":[{\"id\":\"" + QByteArray(id) + "\"}]}");
        };
        QTest::newRow("listed as name:latest")
            << "" << models("tavi-test-model:latest") << Reason::none
            << u"Apple Intelligence is available on this Mac \u2014 coach and preview stay "
               u"on-device."_s;
        QTest::newRow("refused") << "absent" << ScriptedResponse()
                                 << Reason::appleIntelligenceNotEnabled << notEnabled;
        QTest::newRow("turned off")
            << "off" << ScriptedResponse() << Reason::appleIntelligenceNotEnabled << notEnabled;
        QTest::newRow("loading") << ""
                                 << ScriptedResponse::json(
                                        503, R"({"error":{"message":"Loading model"}})")
                                 << Reason::modelNotReady << notReady;
        QTest::newRow("model not listed")
            << "" << models("qwen2.5:7b") << Reason::modelNotReady << notReady;
        // Followed, the redirect would find the model listed.
        QTest::newRow("redirect not followed")
            << "" << ScriptedResponse::redirect(307, "/v1/models") << Reason::other
            << u"Apple Intelligence unavailable (the model server answered 307) \u2014 coach "
               u"and preview will use Der Udez OV."_s;
    }

    void availabilityBranches()
    {
        QFETCH(QString, setup);
        QFETCH(ScriptedResponse, probe);
        QFETCH(Reason, reason);
        QFETCH(QString, status);
        ScriptedModelServer server;
        if (setup == u"absent")
            server.setAbsent();
        else
            server.http().enqueue(probe);
        model().configure(server.baseUrl(), server.modelName(), setup != u"off");
        QCOMPARE(refreshedReason(), reason);
        QCOMPARE(model().isAvailable(), reason == Reason::none);
        QCOMPARE(TaviCoach::appleIntelligenceStatus(), status);
        if (setup == u"off")
            QCOMPARE(server.requests().size(), 0);
    }

    // Probing waits for the window's first frame; until then the model is being checked.
    void probeWaitsForTheFirstFrame()
    {
        ScriptedModelServer server;
        StartupGate::hold();
        model().configure(server.baseUrl(), server.modelName());
        QTest::qWait(100);
        QCOMPARE(server.requests().size(), 0);
        QVERIFY(!model().isAvailable());
        StartupGate::release();
        QCOMPARE(refreshedReason(), Reason::none);
        QVERIFY(!server.requests().isEmpty());
    }

    void neverContactsAnotherHost()
    {
        // Whatever did leave would pass this loopback proxy, which counts it.
        ScriptedHttpServer proxy;
        QVERIFY(proxy.listen());
        const QNetworkProxy previous = QNetworkProxy::applicationProxy();
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, proxy.port()));
        // A private address, and a name that only looks like loopback.
        for (const char *endpoint :
            {"http://10.0.0.1:11434/v1", "http://127.0.0.1.nip.io:11434/v1"}) {
            model().configure(QUrl(QString::fromLatin1(endpoint)), u"tavi-test-model"_s);
            QCOMPARE(refreshedReason(), Reason::deviceNotEligible);
            QCOMPARE(TaviCoach::appleIntelligenceStatus(),
                u"This Mac is not eligible for Apple Intelligence \u2014 coach and preview will "
                u"use Der Udez OV."_s);
            LanguageModelSession session(model(), u"instructions"_s);
            QCOMPARE(awaitError(session.respond(u"hello"_s)),
                u"The model server is not on this machine."_s);
            QVERIFY(!awaitTask(TaviCoach::appleDraft(u"x"_s, {})));
            QVERIFY(!awaitTask(TaviCoach::applePreview(u"x"_s, {})));
        }
        QTest::qWait(50);
        QNetworkProxy::setApplicationProxy(previous);
        QCOMPARE(proxy.connectionCount(), 0);
    }

    void refusedSchemaFallsBackToPlainRequest()
    {
        ScriptedModelServer server;
        server.makeDefault();
        server.setAnswer(u"plain"_s);
        server.setRejectsResponseFormat(true);
        const QJsonObject schema {{u"type"_s, u"object"_s}};
        LanguageModelSession session(model(), u"instructions"_s);
        QCOMPARE(awaitTask(session.respond(u"hello"_s, {}, schema)), u"plain"_s);

        const auto bodies = server.chatRequests();
        QCOMPARE(bodies.size(), 2);
        QCOMPARE(bodies[0][u"model"].toString(), server.modelName());
        const QJsonValue format = bodies[0][u"response_format"];
        QCOMPARE(format[u"type"].toString(), u"json_schema"_s);
        QCOMPARE(format[u"json_schema"][u"schema"].toObject(), schema);
        QVERIFY(!format[u"json_schema"][u"name"].toString().isEmpty());
        QJsonObject plain = bodies[0];
        plain.remove(u"response_format"_s);
        QCOMPARE(bodies[1], plain);
    }

    void failedRunsSayWhatWentWrong_data()
    {
        QTest::addColumn<ScriptedResponse>("chat");
        QTest::addColumn<QString>("error");
        const QString answered = u"The local model server answered "_s;
        QTest::newRow("status and message")
            << ScriptedResponse::json(500, R"({"error":{"code":500,"message":"out of memory"}})")
            << answered + u"500: out of memory"_s;
        QTest::newRow("plain text error")
            << ScriptedResponse::text(502, "upstream gone\n") << answered + u"502: upstream gone"_s;
        QTest::newRow("time-out") << ScriptedResponse::hang()
                                  << u"The local model did not answer within 300 ms."_s;
        QTest::newRow("no text")
            << ScriptedResponse::json(200, R"({"choices":[{"message":{"content":7}}]})")
            << u"The local model's answer could not be read: it has no text at "
               u"choices[0].message.content."_s;
    }

    void failedRunsSayWhatWentWrong()
    {
        QFETCH(ScriptedResponse, chat);
        QFETCH(QString, error);
        ScriptedModelServer server;
        server.makeDefault(300ms);
        server.setChatResponse(chat);
        QCOMPARE(awaitError(TaviCoach::appleDraft(u"x"_s, {})), error);
        QCOMPARE(awaitError(TaviCoach::applePreview(u"x"_s, {})), error);
        // A failed run is never repeated, not even a 500 to a request with a schema.
        QCOMPARE(server.chatRequests().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestLanguageModel)
#include "test_language_model.moc"
