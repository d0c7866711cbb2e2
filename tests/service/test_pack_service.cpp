// The reference pack service, driven over real HTTP on 127.0.0.1 as a separate
// process: what it stores, what it refuses, and what survives a kill -9.

#include "PackServiceProcess.h"
#include "ScriptedHttpServer.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

const QByteArray tokenHeader = QByteArrayLiteral("X-Tavi-Operator-Token");

struct Answer
{
    int status = 0;
    QByteArray body;
    QByteArray contentType;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QString version() const
    {
        return json()[QStringLiteral("pack")][QStringLiteral("version")].toString();
    }
};

class Client
{
public:
    explicit Client(QUrl base)
        : m_base(std::move(base))
    { }

    QNetworkReply *send(const QByteArray &method, const QString &path, const QByteArray &body = {},
        const QByteArray &token = {})
    {
        QNetworkRequest request(QUrl(m_base.toString() + path));
        if (!token.isNull())
            request.setRawHeader(tokenHeader, token);
        if (method != "GET")
            request.setHeader(
                QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        return m_network.sendCustomRequest(request, method, body);
    }

    static Answer wait(QNetworkReply *reply)
    {
        if (!reply->isFinished()) {
            QEventLoop loop;
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(30000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        Answer answer {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            reply->readAll(), reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()};
        reply->deleteLater();
        return answer;
    }

    Answer call(const QByteArray &method, const QString &path, const QByteArray &body = {},
        const QByteArray &token = {})
    {
        return wait(send(method, path, body, token));
    }

    Answer current(const QByteArray &token = {})
    {
        return call("GET", QStringLiteral("/api/capability-packs/current"), {}, token);
    }
    Answer publish(const QJsonObject &pack, const QByteArray &token = {})
    {
        return call(
            "POST", QStringLiteral("/api/capability-packs/publish"), publishBody(pack), token);
    }
    Answer rollback(const QByteArray &token = {})
    {
        return call("POST", QStringLiteral("/api/capability-packs/rollback"), "{}", token);
    }

    static QByteArray publishBody(const QJsonObject &pack)
    {
        return QJsonDocument(
            QJsonObject {{QStringLiteral("pack"), pack},
                {QStringLiteral("coach_model"), QStringLiteral("apple-foundation")}})
            .toJson(QJsonDocument::Compact);
    }

private:
    QUrl m_base;
    QNetworkAccessManager m_network;
};

QJsonObject packOf(const Answer &answer)
{
    return answer.json()[QStringLiteral("pack")].toObject();
}

QJsonObject withVoice(QJsonObject pack, const QString &voice)
{
    QJsonObject modules = pack[QStringLiteral("modules")].toObject();
    QJsonObject persona = modules[QStringLiteral("persona")].toObject();
    persona[QStringLiteral("voice")] = voice;
    modules[QStringLiteral("persona")] = persona;
    pack[QStringLiteral("modules")] = modules;
    return pack;
}

QString voiceOf(const QJsonObject &pack)
{
    return pack[QStringLiteral("modules")][QStringLiteral("persona")][QStringLiteral("voice")]
        .toString();
}

QByteArray chatAnswer(const QString &content)
{
    const QJsonObject message {{QStringLiteral("role"), QStringLiteral("assistant")},
        {QStringLiteral("content"), content}};
    return QJsonDocument(QJsonObject {{QStringLiteral("choices"),
                             QJsonArray {QJsonObject {{QStringLiteral("message"), message}}}}})
        .toJson(QJsonDocument::Compact);
}

// Every refusal but 401 is a JSON object with a text "error".
void verifyJsonError(const Answer &answer, int status)
{
    QCOMPARE(answer.status, status);
    QVERIFY2(answer.json()[QStringLiteral("error")].isString(), answer.body.constData());
}

} // namespace

class TestPackService : public QObject
{
    Q_OBJECT

private slots:
    void publishAndRollbackWalkTheLiveHistory();
    void staleAndRacingPublishesAreRefused();
    void tokenIsCheckedOnEveryRequest_data();
    void tokenIsCheckedOnEveryRequest();
    void badRequestsAreRefusedAndLoseNothing_data();
    void badRequestsAreRefusedAndLoseNothing();
    void bodySizeLimitIsEightMebibytes();
    void coachAndPreviewAnswer503WithoutAModel();
    void coachAndPreviewAskTheModel();
    void modelFailuresAre502AndLeaveTheServiceUp();
    void killInTheMiddleOfPublishingLosesNothing();
};

void TestPackService::publishAndRollbackWalkTheLiveHistory()
{
    PackServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());

    const Answer seeded = client.current();
    QCOMPARE(seeded.status, 200);
    QCOMPARE(seeded.version(), QStringLiteral("v1"));
    QCOMPARE(seeded.json()[QStringLiteral("live_version")].toString(), QStringLiteral("v1"));

    QJsonObject draft = withVoice(packOf(seeded), QStringLiteral("Lebih santai."));
    draft[QStringLiteral("status")] = QStringLiteral("draft");
    draft[QStringLiteral("provenance")]
        = QJsonObject {{QStringLiteral("author"), QStringLiteral("operator")},
            {QStringLiteral("coach_instruction"), QStringLiteral("santai")}};
    const Answer second = client.publish(draft);
    QCOMPARE(second.status, 200);
    const QJsonObject stored = packOf(second);
    QCOMPARE(stored[QStringLiteral("version")].toString(), QStringLiteral("v2"));
    QCOMPARE(stored[QStringLiteral("parent_version")].toString(), QStringLiteral("v1"));
    QCOMPARE(stored[QStringLiteral("status")].toString(), QStringLiteral("live"));
    QCOMPARE(stored[QStringLiteral("provenance")], draft[QStringLiteral("provenance")]);
    QCOMPARE(voiceOf(stored), QStringLiteral("Lebih santai."));
    QCOMPARE(second.json()[QStringLiteral("live_version")].toString(), QStringLiteral("v2"));
    QCOMPARE(client.current().body, second.body);

    QCOMPARE(client.publish(withVoice(stored, QStringLiteral("Formal."))).version(),
        QStringLiteral("v3"));

    // Rollback walks back one published step at a time, down to the seed.
    QCOMPARE(client.rollback().version(), QStringLiteral("v2"));
    const Answer first = client.rollback();
    QCOMPARE(first.version(), QStringLiteral("v1"));
    QCOMPARE(first.json()[QStringLiteral("live_version")].toString(), QStringLiteral("v1"));
    QCOMPARE(voiceOf(packOf(first)), voiceOf(packOf(seeded)));
    verifyJsonError(client.rollback(), 409);
    QCOMPARE(client.current().version(), QStringLiteral("v1"));

    // A publish after rollbacks derives from the live v1; rolling it back
    // returns to v1, never to the rolled-back v2 or v3.
    const Answer fourth = client.publish(withVoice(packOf(first), QStringLiteral("Baru.")));
    QCOMPARE(fourth.version(), QStringLiteral("v4"));
    QCOMPARE(packOf(fourth)[QStringLiteral("parent_version")].toString(), QStringLiteral("v1"));
    QCOMPARE(client.rollback().version(), QStringLiteral("v1"));

    // Rolled-back versions are still kept.
    const QJsonArray versions = client.call("GET", QStringLiteral("/api/capability-packs/history"))
                                    .json()[QStringLiteral("versions")]
                                    .toArray();
    QStringList labels;
    for (const QJsonValue &row : versions)
        labels << row[QStringLiteral("version")].toString();
    QCOMPARE(labels, QStringLiteral("v1 v2 v3 v4").split(QLatin1Char(' ')));
}

void TestPackService::staleAndRacingPublishesAreRefused()
{
    PackServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());
    const QJsonObject base = packOf(client.current());

    // Thirty operators publish drafts of v1 at once: one wins, the rest learn
    // which version is live, and no draft overwrites another.
    std::vector<QNetworkReply *> replies;
    for (int i = 0; i < 30; ++i)
        replies.push_back(client.send("POST", QStringLiteral("/api/capability-packs/publish"),
            Client::publishBody(withVoice(base, QString::number(i)))));
    int won = 0;
    QString winner;
    for (QNetworkReply *reply : replies) {
        const Answer answer = Client::wait(reply);
        if (answer.status == 200) {
            ++won;
            winner = voiceOf(packOf(answer));
            continue;
        }
        verifyJsonError(answer, 409);
        QCOMPARE(answer.json()[QStringLiteral("live_version")].toString(), QStringLiteral("v2"));
        QVERIFY(answer.json()[QStringLiteral("error")].toString().contains(QStringLiteral("v2")));
    }
    QCOMPARE(won, 1);
    const Answer live = client.current();
    QCOMPARE(live.version(), QStringLiteral("v2"));
    QCOMPARE(voiceOf(packOf(live)), winner);

    // A draft of v1 published later is just as stale.
    verifyJsonError(client.publish(withVoice(base, QStringLiteral("late"))), 409);
    QCOMPARE(client.current().body, live.body);
}

void TestPackService::tokenIsCheckedOnEveryRequest_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("accepted");
    const QByteArray token = QByteArrayLiteral("s3cret token");
    QTest::newRow("none") << QByteArray() << false;
    QTest::newRow("empty") << QByteArray("") << false;
    QTest::newRow("wrong") << QByteArray("s3cret tokex") << false;
    QTest::newRow("prefix") << token.left(6) << false;
    QTest::newRow("longer") << token + "!" << false;
    QTest::newRow("other case") << token.toUpper() << false;
    QTest::newRow("exact") << token << true;
}

void TestPackService::tokenIsCheckedOnEveryRequest()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, accepted);
    PackServiceProcess::Options options;
    options.token = QStringLiteral("s3cret token");
    PackServiceProcess service(options);
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());

    const QList<std::pair<QByteArray, QString>> requests {
        {"GET", QStringLiteral("/api/capability-packs/current")},
        {"POST", QStringLiteral("/api/capability-packs/rollback")},
        {"POST", QStringLiteral("/api/capability-packs/coach")},
        {"GET", QStringLiteral("/no/such/path")},
    };
    for (const auto &[method, path] : requests) {
        const Answer answer = client.call(method, path, method == "POST" ? "{}" : "", sent);
        if (accepted) {
            QVERIFY2(answer.status != 401, qPrintable(path));
        } else {
            QCOMPARE(answer.status, 401);
            QCOMPARE(answer.body, QByteArray("unauthorized"));
        }
    }
    QVERIFY2(!service.output().contains(QStringLiteral("s3cret")), "the token reached the log");
}

void TestPackService::badRequestsAreRefusedAndLoseNothing_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("errorMentions");

    const QString publish = QStringLiteral("/api/capability-packs/publish");
    QFile seed(PackServiceProcess::defaultSeedPath());
    QVERIFY(seed.open(QIODevice::ReadOnly));
    const QJsonObject pack = QJsonDocument::fromJson(seed.readAll()).object();
    const auto body = [](const QJsonObject &object) {
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    };
    QJsonObject noLanguages = pack;
    QJsonObject modules = noLanguages[QStringLiteral("modules")].toObject();
    QJsonObject persona = modules[QStringLiteral("persona")].toObject();
    persona.remove(QStringLiteral("languages"));
    modules[QStringLiteral("persona")] = persona;
    noLanguages[QStringLiteral("modules")] = modules;
    QJsonObject textMaxWords = pack;
    modules = textMaxWords[QStringLiteral("modules")].toObject();
    QJsonObject rules = modules[QStringLiteral("reply_rules")].toObject();
    rules[QStringLiteral("max_words")] = QStringLiteral("120");
    modules[QStringLiteral("reply_rules")] = rules;
    textMaxWords[QStringLiteral("modules")] = modules;
    const QString model = QStringLiteral("apple-foundation");

    QTest::newRow("not JSON") << QByteArray("POST") << publish << QByteArray("{\"pack\":") << 400
                              << QString();
    QTest::newRow("JSON array") << QByteArray("POST") << publish << QByteArray("[]") << 400
                                << QString();
    QTest::newRow("no pack") << QByteArray("POST") << publish
                             << body({{QStringLiteral("coach_model"), model}}) << 400
                             << QStringLiteral("pack");
    QTest::newRow("no coach_model")
        << QByteArray("POST") << publish << body({{QStringLiteral("pack"), pack}}) << 400
        << QStringLiteral("coach_model");
    QTest::newRow("pack as a string")
        << QByteArray("POST") << publish
        << body({{QStringLiteral("pack"), QString::fromUtf8(body(pack))},
               {QStringLiteral("coach_model"), model}})
        << 422 << QString();
    QTest::newRow("pack without languages")
        << QByteArray("POST") << publish
        << body({{QStringLiteral("pack"), noLanguages}, {QStringLiteral("coach_model"), model}})
        << 422 << QStringLiteral("languages");
    QTest::newRow("max_words as text")
        << QByteArray("POST") << publish
        << body({{QStringLiteral("pack"), textMaxWords}, {QStringLiteral("coach_model"), model}})
        << 422 << QStringLiteral("max_words");
    QTest::newRow("preview without sessionId")
        << QByteArray("POST") << QStringLiteral("/api/capability-packs/preview")
        << body({{QStringLiteral("pack"), pack},
               {QStringLiteral("message"), QStringLiteral("Halo")}})
        << 400 << QStringLiteral("sessionId");
    QTest::newRow("rollback body not JSON")
        << QByteArray("POST") << QStringLiteral("/api/capability-packs/rollback")
        << QByteArray("roll") << 400 << QString();
    QTest::newRow("unknown path") << QByteArray("GET")
                                  << QStringLiteral("/api/capability-packs/latest") << QByteArray()
                                  << 404 << QString();
    QTest::newRow("path with trailing slash")
        << QByteArray("GET") << QStringLiteral("/api/capability-packs/current/") << QByteArray()
        << 404 << QString();
    QTest::newRow("POST current") << QByteArray("POST")
                                  << QStringLiteral("/api/capability-packs/current")
                                  << QByteArray("{}") << 405 << QString();
    QTest::newRow("GET publish") << QByteArray("GET") << publish << QByteArray() << 405
                                 << QString();
    QTest::newRow("PUT publish") << QByteArray("PUT") << publish
                                 << body({{QStringLiteral("pack"), pack},
                                        {QStringLiteral("coach_model"), model}})
                                 << 405 << QString();
    QTest::newRow("DELETE rollback")
        << QByteArray("DELETE") << QStringLiteral("/api/capability-packs/rollback") << QByteArray()
        << 405 << QString();
}

void TestPackService::badRequestsAreRefusedAndLoseNothing()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, errorMentions);

    PackServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());
    const Answer before = client.current();

    const Answer answer = client.call(method, path, body);
    verifyJsonError(answer, status);
    QVERIFY2(answer.json()[QStringLiteral("error")].toString().contains(errorMentions),
        answer.body.constData());
    QCOMPARE(client.current().body, before.body);
}

void TestPackService::bodySizeLimitIsEightMebibytes()
{
    PackServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());
    const QByteArray publishBody = Client::publishBody(packOf(client.current()));

    // Padded with a member the service ignores, to exactly the limit and one byte past it.
    const qsizetype limit = 8 * 1024 * 1024;
    const auto padded = [&](qsizetype size) {
        QByteArray body = publishBody.chopped(1) + ",\"padding\":\"";
        body += QByteArray(size - body.size() - 2, 'x');
        return body + "\"}";
    };
    const Answer over
        = client.call("POST", QStringLiteral("/api/capability-packs/publish"), padded(limit + 1));
    verifyJsonError(over, 413);
    QCOMPARE(client.current().version(), QStringLiteral("v1"));
    const Answer at
        = client.call("POST", QStringLiteral("/api/capability-packs/publish"), padded(limit));
    QCOMPARE(at.status, 200);
    QCOMPARE(at.version(), QStringLiteral("v2"));
}

void TestPackService::coachAndPreviewAnswer503WithoutAModel()
{
    PackServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());
    const QJsonObject pack = packOf(client.current());
    const auto body = [&](const char *key) {
        return QJsonDocument(QJsonObject {{QLatin1String(key), QStringLiteral("Halo")},
                                 {QStringLiteral("pack"), pack},
                                 {QStringLiteral("sessionId"), QStringLiteral("preview-apple")}})
            .toJson();
    };
    for (const auto &[path, key] : {std::pair {"/api/capability-packs/coach", "instruction"},
             std::pair {"/api/capability-packs/preview", "message"}}) {
        const Answer answer = client.call("POST", QLatin1String(path), body(key));
        verifyJsonError(answer, 503);
        QVERIFY2(answer.json()[QStringLiteral("error")].toString().contains(
                     QStringLiteral("No model is configured")),
            answer.body.constData());
    }
}

void TestPackService::coachAndPreviewAskTheModel()
{
    ScriptedHttpServer model;
    QVERIFY(model.listen());
    PackServiceProcess::Options options;
    options.modelUrl = model.url(QStringLiteral("/v1/")).toString();
    options.model = QStringLiteral("udez-7b");
    PackServiceProcess service(options);
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());
    const QJsonObject pack = packOf(client.current());

    // Coach: models like to wrap their JSON in prose; the keys are applied,
    // an empty one leaves its field alone, and the provenance is stamped.
    model.enqueue(ScriptedResponse::json(200,
        chatAnswer(QStringLiteral("Tentu! {\"voice\":\"Ceria dan singkat.\",\"cta\":\"\","
                                  "\"confirm_copy\":\"Benar begitu, "
                                  "Kak?\",\"preview_reply\":\"Halo!\"} Semoga membantu."))));
    const QByteArray coachBody = QJsonDocument(
        QJsonObject {{QStringLiteral("instruction"), QStringLiteral("Lebih ceria")},
            {QStringLiteral("pack"),
                pack}}).toJson();
    const Answer coached
        = client.call("POST", QStringLiteral("/api/capability-packs/coach"), coachBody);
    QCOMPARE(coached.status, 200);
    QCOMPARE(coached.json()[QStringLiteral("coach_model")].toString(), QStringLiteral("udez-7b"));
    const QJsonObject draft = packOf(coached);
    QCOMPARE(voiceOf(draft), QStringLiteral("Ceria dan singkat."));
    const QJsonObject modules = draft[QStringLiteral("modules")].toObject();
    QCOMPARE(modules[QStringLiteral("reply_rules")][QStringLiteral("cta")],
        pack[QStringLiteral("modules")][QStringLiteral("reply_rules")][QStringLiteral("cta")]);
    QCOMPARE(modules[QStringLiteral("guardrails")][QStringLiteral("confirm_copy")].toString(),
        QStringLiteral("Benar begitu, Kak?"));
    const QJsonObject provenance = draft[QStringLiteral("provenance")].toObject();
    QCOMPARE(provenance[QStringLiteral("author")].toString(), QStringLiteral("operator"));
    QCOMPARE(provenance[QStringLiteral("coach_model")].toString(), QStringLiteral("udez-7b"));
    QCOMPARE(
        provenance[QStringLiteral("coach_instruction")].toString(), QStringLiteral("Lebih ceria"));
    QVERIFY(QDateTime::fromString(provenance[QStringLiteral("updated_at")].toString(), Qt::ISODate)
                .isValid());
    QCOMPARE(draft[QStringLiteral("version")], pack[QStringLiteral("version")]);
    QCOMPARE(draft[QStringLiteral("modules")][QStringLiteral("nlu")],
        pack[QStringLiteral("modules")][QStringLiteral("nlu")]);
    QCOMPARE(client.current().version(), QStringLiteral("v1")); // coaching publishes nothing

    const ScriptedRequest coachRequest = model.lastRequest();
    QCOMPARE(coachRequest.requestLine, QByteArray("POST /v1/chat/completions HTTP/1.1"));
    const QJsonObject sent = QJsonDocument::fromJson(coachRequest.body).object();
    QCOMPARE(sent[QStringLiteral("model")].toString(), QStringLiteral("udez-7b"));
    const QString prompt
        = sent[QStringLiteral("messages")][1][QStringLiteral("content")].toString();
    QVERIFY2(prompt.startsWith(
                 QStringLiteral("Operator instruction: Lebih ceria\n\nCurrent Tavi voice: ")),
        qPrintable(prompt));

    // Preview: the pack's reply instructions as the system message, the
    // traveller's message as the user's, the model's text as the reply.
    model.enqueue(
        ScriptedResponse::json(200, chatAnswer(QStringLiteral("Halo Kak! Mau ke mana?"))));
    const QByteArray previewBody
        = QJsonDocument(QJsonObject {{QStringLiteral("message"), QStringLiteral("Halo")},
                            {QStringLiteral("pack"), draft},
                            {QStringLiteral("sessionId"), QStringLiteral("preview-apple")}})
              .toJson();
    const Answer preview
        = client.call("POST", QStringLiteral("/api/capability-packs/preview"), previewBody);
    QCOMPARE(preview.status, 200);
    QCOMPARE(preview.json()[QStringLiteral("reply")][QStringLiteral("text")].toString(),
        QStringLiteral("Halo Kak! Mau ke mana?"));
    QCOMPARE(preview.json()[QStringLiteral("pack_version")].toString(), QStringLiteral("v1"));
    const QJsonArray messages = QJsonDocument::fromJson(model.lastRequest().body)
                                    .object()[QStringLiteral("messages")]
                                    .toArray();
    QCOMPARE(messages[0][QStringLiteral("role")].toString(), QStringLiteral("system"));
    const QString instructions = messages[0][QStringLiteral("content")].toString();
    QVERIFY2(instructions.startsWith(
                 QStringLiteral("Kamu adalah Tavi, asisten perjalanan untuk wisatawan "
                                "Indonesia.\nVoice: Ceria dan singkat.\n")),
        qPrintable(instructions));
    QVERIFY(instructions.endsWith(QStringLiteral("\n{}\nWrite Tavi's reply now (no preamble).")));
    QCOMPARE(messages[1][QStringLiteral("content")].toString(), QStringLiteral("Halo"));
}

void TestPackService::modelFailuresAre502AndLeaveTheServiceUp()
{
    ScriptedHttpServer model;
    QVERIFY(model.listen());
    PackServiceProcess::Options options;
    options.modelUrl = model.url(QStringLiteral("/v1")).toString();
    options.model = QStringLiteral("udez-7b");
    PackServiceProcess service(options);
    QVERIFY2(service.start(), qPrintable(service.output()));
    Client client(service.baseUrl());
    const QJsonObject pack = packOf(client.current());
    const QByteArray coachBody = QJsonDocument(
        QJsonObject {{QStringLiteral("instruction"), QStringLiteral("x")},
            {QStringLiteral("pack"),
                pack}}).toJson();
    const QString coach = QStringLiteral("/api/capability-packs/coach");

    model.enqueue(ScriptedResponse::json(500, R"({"error":{"message":"out of memory"}})"));
    Answer answer = client.call("POST", coach, coachBody);
    verifyJsonError(answer, 502);
    QVERIFY2(answer.json()[QStringLiteral("error")].toString().contains(QStringLiteral("500")),
        answer.body.constData());

    model.enqueue(
        ScriptedResponse::json(200, chatAnswer(QStringLiteral("I would make it friendlier."))));
    verifyJsonError(client.call("POST", coach, coachBody), 502);

    model.enqueue(ScriptedResponse::json(200, R"({"choices":[]})"));
    verifyJsonError(client.call("POST", coach, coachBody), 502);

    // An operator who gives up while the model thinks: the late answer must
    // find its connection gone without taking the service down.
    model.enqueue(ScriptedResponse::json(200, chatAnswer(QStringLiteral("{\"voice\":\"v\"}")))
                      .withDelay(std::chrono::milliseconds(700)));
    QNetworkReply *abandoned = client.send("POST", coach, coachBody);
    QVERIFY(model.waitForRequests(4));
    abandoned->abort();
    abandoned->deleteLater();
    QTest::qWait(1000);
    QVERIFY2(service.isRunning(), qPrintable(service.output()));
    QCOMPARE(client.current().status, 200);
}

void TestPackService::killInTheMiddleOfPublishingLosesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PackServiceProcess::Options options;
    options.db = dir.filePath(QStringLiteral("packs.db"));
    options.extraArguments = {QStringLiteral("--pause-in-publish"), QStringLiteral("3")};
    PackServiceProcess service(options);
    QVERIFY2(service.start(), qPrintable(service.output()));
    auto client = std::make_unique<Client>(service.baseUrl());

    QJsonObject live = packOf(client->current());
    for (const char *voice : {"dua", "tiga"}) {
        const Answer answer = client->publish(withVoice(live, QLatin1String(voice)));
        QCOMPARE(answer.status, 200);
        live = packOf(answer);
    }
    // The third publish stalls inside its transaction; SIGKILL lands there.
    QNetworkReply *inFlight = client->send("POST", QStringLiteral("/api/capability-packs/publish"),
        Client::publishBody(withVoice(live, QStringLiteral("empat"))));
    QVERIFY2(service.waitForOutput(QStringLiteral("publish paused before commit")),
        qPrintable(service.output()));
    service.kill();
    QVERIFY(Client::wait(inFlight).status != 200);
    client.reset();

    // Same file, no stall: everything committed is there, the torn write is not.
    options.extraArguments.clear();
    PackServiceProcess again(options);
    QVERIFY2(again.start(), qPrintable(again.output()));
    Client after(again.baseUrl());
    const Answer current = after.current();
    QCOMPARE(current.version(), QStringLiteral("v3"));
    QCOMPARE(voiceOf(packOf(current)), QStringLiteral("tiga"));
    const QJsonArray versions = after.call("GET", QStringLiteral("/api/capability-packs/history"))
                                    .json()[QStringLiteral("versions")]
                                    .toArray();
    QCOMPARE(versions.size(), 3);

    // The next publish continues the sequence, and the chain walks back whole.
    QCOMPARE(after.publish(withVoice(packOf(current), QStringLiteral("lima"))).version(),
        QStringLiteral("v4"));
    QCOMPARE(after.rollback().version(), QStringLiteral("v3"));
    QCOMPARE(voiceOf(packOf(after.rollback())), QStringLiteral("dua"));
    QCOMPARE(after.rollback().version(), QStringLiteral("v1"));
    verifyJsonError(after.rollback(), 409);
}

QTEST_GUILESS_MAIN(TestPackService)
#include "test_pack_service.moc"
