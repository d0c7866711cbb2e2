// PackAPI against a scripted loopback server: the answers a well-behaved service
// never gives, and exactly what the client puts on the wire.

#include "Await.h"
#include "PackAPI.h"
#include "PackAPIError.h"
#include "ScriptedHttpServer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>

using namespace std::chrono_literals;

namespace {

QByteArray readTestData(const QString &name)
{
    QFile file(qEnvironmentVariable("TAVI_TEST_DATA") + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test data %s", qPrintable(name));
    return file.readAll();
}

QByteArray packJson()
{
    return readTestData(QStringLiteral("minimal-pack.json"));
}

// "{...}" with the pack spliced in as "pack".
QByteArray withPack(const QByteArray &rest = QByteArray())
{
    return "{\"pack\":" + packJson() + (rest.isEmpty() ? QByteArray() : "," + rest) + "}";
}

QString errorOf(QCoro::Task<CapabilityPack> task)
{
    return awaitError(std::move(task));
}

QJsonObject bodyObject(const ScriptedRequest &request)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject {{QStringLiteral("not an object"), QString::fromUtf8(request.body)}};
    return document.object();
}

// A large pack: many example turns with non-ASCII text, about `bytes` long.
CapabilityPack largePack(qsizetype bytes)
{
    CapabilityPack pack = CapabilityPack::fromJson(packJson());
    QList<CapabilityPack::ExampleTurn> turns;
    const QString user = QStringLiteral("Berapa harga tiket ke Denpasar besok pagi? ✈️ ");
    const QString assistant = QString(QStringLiteral("Sebentar, saya cek dulu — ")).repeated(8);
    for (qsizetype size = 0; size < bytes; size += user.size() + assistant.size() + 40)
        turns.append({user + QString::number(size), assistant, std::nullopt});
    pack.modules.fewShot.good = turns;
    return pack;
}

} // namespace

class TestPackAPIScripted : public QObject
{
    Q_OBJECT

    ScriptedHttpServer *server = nullptr;

    PackAPI api(const QString &token = QString()) const { return PackAPI {server->url(), token}; }

private slots:
    void init()
    {
        server = new ScriptedHttpServer(this);
        QVERIFY(server->listen());
        PackAPI::setRequestTimeoutForTesting(10s);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void statusCheck_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // null: success

        const QByteArray envelope = withPack("\"live_version\":\"v1\"");
        QTest::newRow("200") << 200 << envelope << QString();
        QTest::newRow("299") << 299 << envelope << QString();
        // A 1xx answer has no body in HTTP; the client must still not take it
        // for success.
        QTest::newRow("199") << 199 << QByteArray() << QStringLiteral("API 199: ");
        QTest::newRow("300") << 300 << envelope
                             << QStringLiteral("API 300: ") + QString::fromUtf8(envelope);
        QTest::newRow("500 empty") << 500 << QByteArray() << QStringLiteral("API 500: ");
        QTest::newRow("500 not UTF-8")
            << 500 << QByteArray("caf\xc3 \xff\xfe ok") << QStringLiteral("API 500: ");
        QTest::newRow("404 JSON verbatim")
            << 404 << QByteArray("{ \"error\" : \"no such pack\",\n \"n\": 1 }")
            << QStringLiteral("API 404: { \"error\" : \"no such pack\",\n \"n\": 1 }");
        QTest::newRow("401 unauthorized")
            << 401 << QByteArray("unauthorized") << QStringLiteral("API 401: unauthorized");
    }

    void statusCheck()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        server->enqueue(ScriptedResponse::json(status, body));
        try {
            const CapabilityPack pack = awaitTask(api().current());
            QVERIFY2(expected.isNull(), "the call should have failed");
            QCOMPARE(pack, CapabilityPack::fromJson(packJson()));
        } catch (const PackAPIError &error) {
            QCOMPARE(error.description(), expected);
            QCOMPARE(error.kind(), PackAPIError::Kind::http);
            QCOMPARE(error.status(), status);
        }
    }

    void envelopes_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("expected"); // preview: the text; others: "ok"
        QTest::addColumn<QString>("errorPart"); // null: success

        const QString ok = QStringLiteral("ok");
        const QString none;
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        row("current: all members")
            << "current" << withPack("\"live_version\":\"v7\"") << ok << none;
        row("current: no live_version") << "current" << withPack() << ok << none;
        row("current: live_version null")
            << "current" << withPack("\"live_version\":null") << ok << none;
        row("current: extra keys ignored")
            << "current" << withPack("\"Pack\":1,\"extra\":{\"pack\":null}") << ok << none;
        row("current: live_version number") << "current" << withPack("\"live_version\":7") << none
                                            << QStringLiteral("live_version must be a string");
        row("current: pack null") << "current" << QByteArray(R"({"pack":null})") << none
                                  << QStringLiteral("\"pack\" is null");
        row("current: pack missing") << "current" << QByteArray(R"({"live_version":"v1"})") << none
                                     << QStringLiteral("\"pack\" is missing");
        row("current: pack that does not read")
            << "current" << QByteArray(R"({"pack":{"pack_id":"x"}})") << none
            << QStringLiteral("pack.");
        row("current: not JSON") << "current" << QByteArray("<html>busy</html>") << none
                                 << QStringLiteral("not valid JSON");

        row("coach: with coach_model")
            << "coach" << withPack("\"coach_model\":\"mlx\"") << ok << none;
        row("coach: without coach_model") << "coach" << withPack() << ok << none;

        row("preview: text") << "preview"
                             << QByteArray(
                                    R"({"reply":{"text":"Halo! ✈️"},"pack_version":"v1"})")
                             << QStringLiteral("Halo! ✈️") << none;
        row("preview: {}") << "preview" << QByteArray("{}") << QStringLiteral("") << none;
        row("preview: reply null")
            << "preview" << QByteArray(R"({"reply":null})") << QStringLiteral("") << none;
        row("preview: reply {}") << "preview" << QByteArray(R"({"reply":{}})") << QStringLiteral("")
                                 << none;
        row("preview: text null") << "preview" << QByteArray(R"({"reply":{"text":null}})")
                                  << QStringLiteral("") << none;
        row("preview: only pack_version")
            << "preview" << QByteArray(R"({"pack_version":"v3"})") << QStringLiteral("") << none;
        row("preview: text number") << "preview" << QByteArray(R"({"reply":{"text":42}})") << none
                                    << QStringLiteral("reply.text must be a string");
        row("preview: reply a string") << "preview" << QByteArray(R"({"reply":"hi"})") << none
                                       << QStringLiteral("reply must be an object");

        row("publish: no live_version") << "publish" << withPack() << ok << none;
        row("publish: no pack") << "publish" << QByteArray(R"({"live_version":"v2"})") << none
                                << QStringLiteral("\"pack\" is missing");
        row("rollback: live_version")
            << "rollback" << withPack("\"live_version\":\"v1\"") << ok << none;
    }

    void envelopes()
    {
        QFETCH(QString, operation);
        QFETCH(QByteArray, answer);
        QFETCH(QString, expected);
        QFETCH(QString, errorPart);
        server->enqueue(ScriptedResponse::json(200, answer));
        const CapabilityPack draft = CapabilityPack::fromJson(packJson());
        const PackAPI client = api();
        try {
            QString result = QStringLiteral("ok");
            if (operation == QLatin1String("preview")) {
                result = awaitTask(client.preview(QStringLiteral("hi"), draft));
            } else {
                QCoro::Task<CapabilityPack> task = operation == QLatin1String("current")
                    ? client.current()
                    : operation == QLatin1String("coach")
                    ? client.coach(QStringLiteral("warmer"), draft)
                    : operation == QLatin1String("publish") ? client.publish(draft)
                                                            : client.rollback();
                QCOMPARE(awaitTask(std::move(task)), draft);
            }
            QVERIFY2(errorPart.isNull(), "the answer should have been refused");
            QCOMPARE(result, expected);
            QVERIFY(!result.isNull());
        } catch (const JsonReadError &error) {
            QVERIFY2(!errorPart.isNull(), qPrintable(error.description()));
            QVERIFY2(error.description().contains(errorPart), qPrintable(error.description()));
        }
    }

    void requestShape_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("requestLine");
        QTest::addColumn<QJsonObject>("expectedBody"); // without "pack"; empty for GET
        QTest::addColumn<bool>("sendsPack");

        const QJsonObject none;
        const QJsonObject rollback; // exactly {}
        QTest::newRow("current, no token")
            << "current" << QString() << QByteArray("GET /api/capability-packs/current HTTP/1.1")
            << none << false;
        QTest::newRow("current, token of spaces")
            << "current" << QStringLiteral("   ")
            << QByteArray("GET /api/capability-packs/current HTTP/1.1") << none << false;
        QTest::newRow("coach, token") << "coach" << QStringLiteral("tok-1")
                                      << QByteArray("POST /api/capability-packs/coach HTTP/1.1")
                                      << QJsonObject {{QStringLiteral("instruction"),
                                             QStringLiteral("Sei wärmer, \"bitte\"\n")}}
                                      << true;
        QTest::newRow("preview, no token")
            << "preview" << QString() << QByteArray("POST /api/capability-packs/preview HTTP/1.1")
            << QJsonObject {{QStringLiteral("message"), QStringLiteral("")},
                   {QStringLiteral("sessionId"), QStringLiteral("preview-apple")}}
            << true;
        QTest::newRow("publish, token")
            << "publish" << QStringLiteral("Bearer x y")
            << QByteArray("POST /api/capability-packs/publish HTTP/1.1")
            << QJsonObject {{QStringLiteral("coach_model"), QStringLiteral("apple-foundation")}}
            << true;
        QTest::newRow("rollback, token")
            << "rollback" << QStringLiteral("tok-2")
            << QByteArray("POST /api/capability-packs/rollback HTTP/1.1") << rollback << false;
    }

    void requestShape()
    {
        QFETCH(QString, operation);
        QFETCH(QString, token);
        QFETCH(QByteArray, requestLine);
        QFETCH(QJsonObject, expectedBody);
        QFETCH(bool, sendsPack);

        server->setHandler([](const ScriptedRequest &request) {
            return ScriptedResponse::json(
                200, request.target.endsWith("/preview") ? QByteArray("{}") : withPack());
        });
        const CapabilityPack draft = CapabilityPack::fromJson(packJson());
        const PackAPI client = api(token);
        const QString text = expectedBody.value(QLatin1String("instruction")).toString()
            + expectedBody.value(QLatin1String("message")).toString();
        if (operation == QLatin1String("current"))
            awaitTask(client.current());
        else if (operation == QLatin1String("coach"))
            awaitTask(client.coach(text, draft));
        else if (operation == QLatin1String("preview"))
            awaitTask(client.preview(text, draft));
        else if (operation == QLatin1String("publish"))
            awaitTask(client.publish(draft));
        else
            awaitTask(client.rollback());

        QCOMPARE(server->requestCount(), 1);
        const ScriptedRequest request = server->lastRequest();
        QCOMPARE(request.requestLine, requestLine);
        // No header at all for an empty token; the token byte for byte otherwise.
        QList<QByteArray> tokenLines;
        for (const QByteArray &line : request.headerLines) {
            if (line.toLower().startsWith("x-tavi-operator-token:"))
                tokenLines.append(line);
        }
        QCOMPARE(tokenLines,
            token.isEmpty() ? QList<QByteArray>()
                            : QList<QByteArray> {"X-Tavi-Operator-Token: " + token.toUtf8()});
        if (requestLine.startsWith("GET")) {
            QVERIFY(!request.hasHeader("Content-Type"));
            QVERIFY(request.body.isEmpty());
            return;
        }
        QCOMPARE(request.headerValues("Content-Type"), QList<QByteArray> {"application/json"});
        if (operation == QLatin1String("rollback"))
            QCOMPARE(request.body, QByteArray("{}"));
        QJsonObject body = bodyObject(request);
        if (sendsPack) {
            // Nested as an object, exactly the pack's own JSON.
            QVERIFY(body.value(QLatin1String("pack")).isObject());
            QCOMPARE(body.take(QLatin1String("pack")).toObject(),
                QJsonDocument::fromJson(packJson()).object());
        }
        QCOMPARE(body, expectedBody);
    }

    void largeAnswersAndBodiesTravelWhole()
    {
        // Big enough to be decoded and serialised away from the calling thread.
        const CapabilityPack pack = largePack(3 * 1024 * 1024);
        const QByteArray packText = pack.toJson();
        server->setHandler([&](const ScriptedRequest &request) {
            if (request.target.endsWith("/current"))
                return ScriptedResponse::json(200, "{\"pack\":" + packText + "}");
            // The publish answer echoes the pack it was sent.
            return ScriptedResponse::json(200,
                "{\"pack\":"
                    + QJsonDocument(bodyObject(request).value(QLatin1String("pack")).toObject())
                          .toJson(QJsonDocument::Compact)
                    + "}");
        });
        QCOMPARE(awaitTask(api().current()), pack);
        QCOMPARE(awaitTask(api().publish(pack)), pack);

        // A reading error raised on the worker reaches the caller intact.
        QByteArray broken = "{\"pack\":" + packText + "}";
        broken.replace("\"max_words\":120", "\"max_words\":\"many\"");
        server->setHandler(
            [&](const ScriptedRequest &) { return ScriptedResponse::json(200, broken); });
        const QString error = errorOf(api().current());
        QVERIFY2(
            error.contains(QLatin1String("pack.modules.reply_rules.max_words")), qPrintable(error));
    }

    void transportFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("refused") << "refused" << QStringLiteral("refused");
        QTest::newRow("never answers")
            << "hang" << QStringLiteral("did not answer within 1 second");
        QTest::newRow("closes without answer")
            << "close" << QStringLiteral("closed the connection");
        QTest::newRow("closes mid-body") << "truncated" << QStringLiteral("closed the connection");
    }

    void transportFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, errorPart);
        PackAPI::setRequestTimeoutForTesting(1s);
        const QString token = QStringLiteral("s3cret-T0KEN");
        QUrl base = server->url();
        if (kind == QLatin1String("refused")) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            base.setPort(probe.serverPort());
        } else if (kind == QLatin1String("hang")) {
            server->setHandler([](const ScriptedRequest &) { return ScriptedResponse::hang(); });
        } else if (kind == QLatin1String("close")) {
            server->setHandler([](const ScriptedRequest &) { return ScriptedResponse::close(); });
        } else {
            server->setHandler([](const ScriptedRequest &) {
                auto response
                    = ScriptedResponse::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{");
                response.closeAfter = true;
                return response;
            });
        }
        // Every operation fails the same way: the refused one also for POST bodies.
        const PackAPI client {base, token};
        const QString getError = errorOf(client.current());
        const QString postError = errorOf(client.rollback());
        for (const QString &error : {getError, postError}) {
            QVERIFY2(error.contains(errorPart), qPrintable(error));
            QVERIFY2(!error.contains(token), qPrintable(error));
        }
    }

    void redirects_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("sameOrigin");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("expectedMethod"); // at the target
        QTest::newRow("302 GET, other origin") << 302 << false << "current" << QByteArray("GET");
        QTest::newRow("307 POST, other origin") << 307 << false << "publish" << QByteArray("POST");
        QTest::newRow("308 POST, same origin") << 308 << true << "rollback" << QByteArray("POST");
        QTest::newRow("303 POST, same origin") << 303 << true << "rollback" << QByteArray("GET");
        QTest::newRow("301 GET, same origin") << 301 << true << "current" << QByteArray("GET");
    }

    void redirects()
    {
        QFETCH(int, status);
        QFETCH(bool, sameOrigin);
        QFETCH(QString, operation);
        QFETCH(QByteArray, expectedMethod);
        ScriptedHttpServer other;
        QVERIFY(other.listen());
        ScriptedHttpServer &target = sameOrigin ? *server : other;
        const QByteArray location = sameOrigin
            ? QByteArray("/moved/here")
            : other.url(QStringLiteral("/moved/here")).toEncoded();
        server->enqueue(ScriptedResponse::redirect(status, location));
        target.setHandler(
            [](const ScriptedRequest &) { return ScriptedResponse::json(200, withPack()); });

        const QString token = QStringLiteral("s3cret-T0KEN");
        const CapabilityPack draft = CapabilityPack::fromJson(packJson());
        QCOMPARE(awaitTask(operation == QLatin1String("current") ? api(token).current()
                         : operation == QLatin1String("publish") ? api(token).publish(draft)
                                                                 : api(token).rollback()),
            draft);

        const ScriptedRequest first = server->requests().first();
        const ScriptedRequest moved = target.lastRequest();
        QCOMPARE(first.header("X-Tavi-Operator-Token"), token.toUtf8());
        QCOMPARE(moved.target, QByteArray("/moved/here"));
        QCOMPARE(moved.method, expectedMethod);
        // The token never goes to another origin, not even under another header.
        QCOMPARE(moved.hasHeader("X-Tavi-Operator-Token"), sameOrigin);
        for (const auto &header : moved.headers)
            QVERIFY(sameOrigin || !header.second.contains(token.toUtf8()));
        if (expectedMethod == "POST")
            QCOMPARE(moved.body, first.body);
        else
            QVERIFY(moved.body.isEmpty() && !moved.hasHeader("Content-Type"));
    }

    void redirectLoopsAndDeadEnds()
    {
        server->setHandler([](const ScriptedRequest &request) {
            if (request.target.startsWith("/loop"))
                return ScriptedResponse::redirect(302, "/loop");
            return ScriptedResponse::redirect(302, "ftp://127.0.0.1/pack");
        });
        const QString loop = errorOf(PackAPI {server->url(QStringLiteral("/loop")), {}}.current());
        QVERIFY2(
            loop.contains(QLatin1String("redirected the request more than")), qPrintable(loop));
        QCOMPARE(server->requestCount(), 11);
        const QString ftp = errorOf(api().current());
        QVERIFY2(ftp.contains(QLatin1String("not an http or https address")), qPrintable(ftp));
        // A redirect status without a Location is an answer like any other.
        server->setHandler(
            [](const ScriptedRequest &) { return ScriptedResponse::text(302, "gone"); });
        QCOMPARE(errorOf(api().current()), QStringLiteral("API 302: gone"));
    }

    void unusableAddressesAndTokens()
    {
        const QString relative
            = errorOf(PackAPI {QUrl(QStringLiteral("packs/here")), {}}.current());
        QVERIFY2(relative.contains(QLatin1String("not an absolute http or https address")),
            qPrintable(relative));
        // A line break in the token would smuggle in a header of its own.
        const QString token = QStringLiteral("abc\r\nX-Evil: 1");
        const QString error = errorOf(api(token).current());
        QVERIFY2(error.contains(QLatin1String("line break")), qPrintable(error));
        QVERIFY(!error.contains(token));
        QCOMPARE(server->requestCount(), 0);
    }

    void defaultBase_data()
    {
        QTest::addColumn<QByteArray>("value"); // null: unset
        QTest::addColumn<QString>("expected"); // null: the built-in default
        QTest::newRow("unset") << QByteArray() << QString();
        QTest::newRow("empty") << QByteArray("") << QString();
        QTest::newRow("words") << QByteArray("not a url") << QString();
        QTest::newRow("leading blank kept, so refused")
            << QByteArray(" http://127.0.0.1:9") << QString();
        QTest::newRow("broken escape") << QByteArray("http://127.0.0.1/%zz") << QString();
        QTest::newRow("http with prefix") << QByteArray("http://127.0.0.1:8080/tavi/")
                                          << QStringLiteral("http://127.0.0.1:8080/tavi/");
        QTest::newRow("relative, taken as it is")
            << QByteArray("packs/here") << QStringLiteral("packs/here");
    }

    void defaultBase()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv("TAVI_API_BASE");
        const bool wasSet = qEnvironmentVariableIsSet("TAVI_API_BASE");
        if (value.isNull())
            qunsetenv("TAVI_API_BASE");
        else
            qputenv("TAVI_API_BASE", value);
        const QUrl base = PackAPI::defaultBase();
        if (wasSet)
            qputenv("TAVI_API_BASE", saved);
        else
            qunsetenv("TAVI_API_BASE");
        if (expected.isNull()) {
            QCOMPARE(base.scheme(), QStringLiteral("https"));
            QVERIFY(base.host().endsWith(QLatin1String(".example")));
        } else {
            QCOMPARE(base.toString(), expected);
        }
    }

    void apiURL_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("expected");
        const QString path = QStringLiteral("/api/capability-packs/current");
        QTest::newRow("one slash")
            << "http://h.example/" << QStringLiteral("http://h.example") + path;
        QTest::newRow("two slashes")
            << "http://h.example//" << QStringLiteral("http://h.example") + path;
        QTest::newRow("prefix") << "https://h.example:8443/svc/v2/"
                                << QStringLiteral("https://h.example:8443/svc/v2") + path;
        QTest::newRow("escaped prefix")
            << "http://h.example/a%20b/" << QStringLiteral("http://h.example/a%20b") + path;
        QTest::newRow("relative") << "//packs/" << QStringLiteral("packs") + path;
    }

    void apiURL()
    {
        QFETCH(QString, base);
        QFETCH(QString, expected);
        const PackAPI client {QUrl(base), {}};
        QCOMPARE(client.apiURL(QStringLiteral("/api/capability-packs/current"))
                     .toString(QUrl::FullyEncoded),
            expected);
    }
};

QTEST_GUILESS_MAIN(TestPackAPIScripted)
#include "test_pack_api_scripted.moc"
