#include "Await.h"
#include "LanguageModel.h"
#include "Network.h"
#include "ScriptedModelServer.h"
#include "TaviCoach.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using Reason = SystemLanguageModel::Availability::Reason;

Q_DECLARE_METATYPE(Reason)

namespace {

SystemLanguageModel &model()
{
    return SystemLanguageModel::defaultModel();
}

SystemLanguageModel::Availability refresh()
{
    return awaitTask(model().refreshAvailability());
}

QString respondError(const QString &prompt, std::optional<QJsonObject> schema = std::nullopt)
{
    LanguageModelSession session(model(), QStringLiteral("instructions"));
    return awaitError(session.respond(prompt, {}, std::move(schema)));
}

QJsonObject someSchema()
{
    return QJsonObject {{QStringLiteral("type"), QStringLiteral("object")}};
}

} // namespace

class TestLanguageModel : public QObject
{
    Q_OBJECT

private slots:
    void availabilityBranches_data();
    void availabilityBranches();
    void neverContactsAnotherHost_data();
    void neverContactsAnotherHost();
    void redirectsAreNotFollowed();
    void oneProbeAtATime();
    void announcesChangesOnly();
    void requestCarriesOnlyTheOptionsSet();
    void failedRunsSayWhatWentWrong_data();
    void failedRunsSayWhatWentWrong();
    void refusedSchemaFallsBackToPlainRequest_data();
    void refusedSchemaFallsBackToPlainRequest();
};

void TestLanguageModel::availabilityBranches_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<Reason>("reason");
    // The line for the window; for the other reasons only what goes in the parentheses.
    QTest::addColumn<QString>("status");

    const QString available = QStringLiteral(
        "Apple Intelligence is available on this Mac \u2014 coach and preview stay on-device.");
    const QString notEnabled = QStringLiteral("Turn on Apple Intelligence in System Settings to "
                                              "coach on this Mac. Until then, Der Udez OV is the "
                                              "fallback.");
    const QString notReady
        = QStringLiteral("Apple Intelligence is on, but the on-device model is still downloading.");
    QTest::newRow("ready") << "ready" << Reason::none << available;
    QTest::newRow("pulled as name:latest") << "latest" << Reason::none << available;
    QTest::newRow("no server") << "absent" << Reason::appleIntelligenceNotEnabled << notEnabled;
    QTest::newRow("turned off") << "off" << Reason::appleIntelligenceNotEnabled << notEnabled;
    QTest::newRow("loading") << "loading" << Reason::modelNotReady << notReady;
    QTest::newRow("model not pulled") << "others" << Reason::modelNotReady << notReady;
    QTest::newRow("server error") << "500" << Reason::other << "the model server answered 500";
    QTest::newRow("list not JSON")
        << "unreadable" << Reason::other << "the model list is not readable";
    QTest::newRow("hanging") << "hanging" << Reason::other
                             << "the model server did not answer within 300 ms";
    QTest::newRow("elsewhere") << "elsewhere" << Reason::deviceNotEligible
                               << QStringLiteral("This Mac is not eligible for Apple Intelligence "
                                                 "\u2014 coach and preview will use Der Udez OV.");
}

void TestLanguageModel::availabilityBranches()
{
    QFETCH(QString, setup);
    QFETCH(Reason, reason);
    QFETCH(QString, status);

    ScriptedModelServer server;
    QUrl endpoint = server.baseUrl();
    if (setup == QLatin1String("latest"))
        server.setListedModels({server.modelName() + QStringLiteral(":latest")});
    else if (setup == QLatin1String("absent"))
        server.setAbsent();
    else if (setup == QLatin1String("loading"))
        server.setLoading();
    else if (setup == QLatin1String("others"))
        server.setListedModels({QStringLiteral("qwen2.5:7b"), QStringLiteral("tavi-test")});
    else if (setup == QLatin1String("500"))
        server.setFailing(500);
    else if (setup == QLatin1String("unreadable"))
        server.http().enqueue(ScriptedResponse::text(200, "<html>models</html>", "text/html"));
    else if (setup == QLatin1String("hanging"))
        server.setHanging();
    else if (setup == QLatin1String("elsewhere"))
        endpoint = QUrl(QStringLiteral("http://10.0.0.1:11434/v1"));

    model().setTimeouts(300ms, 2s);
    model().configure(endpoint, server.modelName(), setup != QLatin1String("off"));
    const auto fresh = refresh();
    QCOMPARE(fresh.reason, reason);
    QCOMPARE(model().availability(), fresh);
    QCOMPARE(model().isAvailable(), reason == Reason::none);
    if (reason == Reason::other)
        status = QStringLiteral("Apple Intelligence unavailable (%1) \u2014 coach and preview "
                                "will use Der Udez OV.")
                     .arg(status);
    QCOMPARE(TaviCoach::appleIntelligenceStatus(), status);
    // Turned off or elsewhere: decided without asking anyone.
    if (setup == QLatin1String("off") || setup == QLatin1String("elsewhere"))
        QCOMPARE(server.requests().size(), 0);
}

void TestLanguageModel::neverContactsAnotherHost_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::newRow("private address") << "http://10.0.0.1:11434/v1";
    QTest::newRow("host name") << "http://models.example:11434/v1";
    QTest::newRow("name that looks loopback") << "http://127.0.0.1.nip.io:11434/v1";
    QTest::newRow("loopback as user info") << "http://127.0.0.1@models.example/v1";
    QTest::newRow("unspecified address") << "http://0.0.0.0:11434/v1";
    QTest::newRow("IPv6 link-local") << "http://[fe80::1]:11434/v1";
}

void TestLanguageModel::neverContactsAnotherHost()
{
    QFETCH(QString, endpoint);

    // Anything that did leave would have to pass this loopback proxy, which records it;
    // nothing ever reaches the network beyond this machine.
    ScriptedHttpServer proxy;
    QVERIFY(proxy.listen());
    const QNetworkProxy previous = QNetworkProxy::applicationProxy();
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));

    model().configure(QUrl(endpoint), QStringLiteral("tavi-test-model"));
    QCOMPARE(model().availability().reason, Reason::deviceNotEligible);
    QCOMPARE(refresh().reason, Reason::deviceNotEligible);
    QCOMPARE(respondError(QStringLiteral("hello")),
        QStringLiteral("The model server is not on this machine."));
    const auto draft = awaitTask(TaviCoach::appleDraft(QStringLiteral("x"), CapabilityPack {}));
    QVERIFY(!draft.has_value());
    const auto preview = awaitTask(TaviCoach::applePreview(QStringLiteral("x"), CapabilityPack {}));
    QVERIFY(!preview.has_value());
    QTest::qWait(50);

    QNetworkProxy::setApplicationProxy(previous);
    QCOMPARE(proxy.connectionCount(), 0);
}

void TestLanguageModel::redirectsAreNotFollowed()
{
    ScriptedModelServer server;
    ScriptedModelServer elsewhere;
    model().setTimeouts(2s, 2s);
    model().configure(server.baseUrl(), server.modelName());
    server.http().enqueue(
        ScriptedResponse::redirect(307, elsewhere.baseUrl().toEncoded() + "/models"));
    const auto answer = refresh();
    QCOMPARE(answer.reason, Reason::other);
    QCOMPARE(answer.description, QStringLiteral("the model server answered 307"));
    QCOMPARE(elsewhere.requests().size(), 0);
}

void TestLanguageModel::oneProbeAtATime()
{
    ScriptedModelServer server;
    server.setHanging();
    model().setTimeouts(500ms, 2s);
    model().configure(server.baseUrl(), server.modelName());
    // configure() has started a probe; these join it instead of adding their own.
    auto first = model().refreshAvailability();
    auto second = model().refreshAvailability();
    auto third = model().refreshAvailability();
    const auto a = awaitTask(std::move(first));
    const auto b = awaitTask(std::move(second));
    const auto c = awaitTask(std::move(third));
    QCOMPARE(server.probeCount(), 1);
    QCOMPARE(a.reason, Reason::other);
    QCOMPARE(b, a);
    QCOMPARE(c, a);

    // A refresh after the probe has ended asks again rather than reusing its answer.
    server.setAnswer(QStringLiteral("{}"));
    QCOMPARE(refresh().reason, Reason::none);
    QCOMPARE(server.probeCount(), 2);
}

void TestLanguageModel::announcesChangesOnly()
{
    ScriptedModelServer server;
    server.makeDefault();
    QVERIFY(model().isAvailable());
    QSignalSpy spy(&model(), &SystemLanguageModel::availabilityChanged);
    refresh();
    QCOMPARE(spy.size(), 0);
    server.setLoading();
    refresh();
    QCOMPARE(spy.size(), 1);
    QVERIFY(!model().isAvailable());
    server.setAnswer(QStringLiteral("{}"));
    refresh();
    QCOMPARE(spy.size(), 2);
    QVERIFY(model().isAvailable());
}

void TestLanguageModel::requestCarriesOnlyTheOptionsSet()
{
    ScriptedModelServer server;
    server.makeDefault();
    server.setAnswer(QStringLiteral("  answer\n"));
    const QString instructions = QStringLiteral("Line one\nLine \"two\" \u00e9");
    const QString prompt = QStringLiteral("Hi\n\n  there  ");
    LanguageModelSession session(model(), instructions);
    QCOMPARE(awaitTask(session.respond(prompt)), QStringLiteral("  answer\n"));
    GenerationOptions options;
    options.temperature = 0.25;
    options.maximumResponseTokens = 64;
    awaitTask(session.respond(prompt, options));

    const auto bodies = server.chatRequests();
    QCOMPARE(bodies.size(), 2);
    QCOMPARE(bodies[0].keys(), QString::fromLatin1("messages model stream").split(u' '));
    QCOMPARE(bodies[1].keys(),
        QString::fromLatin1("max_tokens messages model stream temperature").split(u' '));
    QCOMPARE(bodies[0].value(QStringLiteral("model")).toString(), server.modelName());
    QCOMPARE(bodies[0].value(QStringLiteral("stream")), QJsonValue(false));
    QCOMPARE(bodies[1].value(QStringLiteral("temperature")).toDouble(), 0.25);
    QCOMPARE(bodies[1].value(QStringLiteral("max_tokens")).toInt(), 64);
}

void TestLanguageModel::failedRunsSayWhatWentWrong_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("error");

    QTest::newRow("server error") << "500"
                                  << "The local model server answered 500: boom";
    QTest::newRow("model missing")
        << "404"
        << "The local model server answered 404: model \"llama3.2\" not found, try "
           "pulling it first";
    QTest::newRow("plain text error") << "502"
                                      << "The local model server answered 502: upstream "
                                         "gone";
    QTest::newRow("time-out") << "hang"
                              << "The local model did not answer within 300 ms.";
    const QString unreadable
        = QStringLiteral("The local model's answer could not be read: it has no text at "
                         "choices[0].message.content.");
    QTest::newRow("not JSON") << "html" << unreadable;
    QTest::newRow("null content") << "null" << unreadable;
    QTest::newRow("no server")
        << "absent"
        << "The local model server could not be reached: no model server is running "
           "at 127.0.0.1:%1.";
}

void TestLanguageModel::failedRunsSayWhatWentWrong()
{
    QFETCH(QString, setup);
    QFETCH(QString, error);

    ScriptedModelServer server;
    server.makeDefault(300ms);
    const quint16 port = server.http().port();
    if (setup == QLatin1String("500"))
        server.setFailing(500, QStringLiteral("boom"));
    else if (setup == QLatin1String("404"))
        server.setChatResponse(ScriptedResponse::json(
            404, R"({"error":"model \"llama3.2\" not found, try pulling it first"})"));
    else if (setup == QLatin1String("502"))
        server.setChatResponse(ScriptedResponse::text(502, "upstream gone\n"));
    else if (setup == QLatin1String("hang"))
        server.setChatResponse(ScriptedResponse::hang());
    else if (setup == QLatin1String("html"))
        server.setChatResponse(ScriptedResponse::text(200, "<html></html>", "text/html"));
    else if (setup == QLatin1String("null"))
        server.setChatResponse(ScriptedResponse::json(
            200, R"({"choices":[{"message":{"role":"assistant","content":null}}]})"));
    else if (setup == QLatin1String("absent"))
        server.setAbsent();

    if (error.contains(QLatin1String("%1")))
        error = error.arg(port);
    QCOMPARE(respondError(QStringLiteral("hello")), error);
    // A failed run is never repeated.
    QCOMPARE(server.chatRequests().size(), setup == QLatin1String("absent") ? 0 : 1);
}

void TestLanguageModel::refusedSchemaFallsBackToPlainRequest_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("requests");
    QTest::newRow("400") << 400 << 2;
    QTest::newRow("500 is a failure") << 500 << 1;
}

void TestLanguageModel::refusedSchemaFallsBackToPlainRequest()
{
    QFETCH(int, status);
    QFETCH(int, requests);

    ScriptedModelServer server;
    server.makeDefault();
    server.setAnswer(QStringLiteral("plain"));
    server.http().enqueue(ScriptedResponse::json(
        status, R"({"error":{"message":"response_format json_schema is not supported"}})"));
    LanguageModelSession session(model(), QStringLiteral("instructions"));
    auto run = session.respond(QStringLiteral("hello"), {}, someSchema());
    if (requests == 2) {
        QCOMPARE(awaitTask(std::move(run)), QStringLiteral("plain"));
    } else {
        QCOMPARE(awaitError(std::move(run)),
            QStringLiteral("The local model server answered 500: response_format "
                           "json_schema is not supported"));
    }

    const auto bodies = server.chatRequests();
    QCOMPARE(bodies.size(), requests);
    const QJsonObject format = bodies.first().value(QStringLiteral("response_format")).toObject();
    QCOMPARE(format.value(QStringLiteral("type")).toString(), QStringLiteral("json_schema"));
    const QJsonObject nested = format.value(QStringLiteral("json_schema")).toObject();
    QCOMPARE(nested.value(QStringLiteral("schema")).toObject(), someSchema());
    QVERIFY(!nested.value(QStringLiteral("name")).toString().isEmpty());
    if (requests == 2) {
        QVERIFY(!bodies.last().contains(QStringLiteral("response_format")));
        QCOMPARE(bodies.last().value(QStringLiteral("messages")),
            bodies.first().value(QStringLiteral("messages")));
    }
}

QTEST_GUILESS_MAIN(TestLanguageModel)
#include "test_language_model.moc"
