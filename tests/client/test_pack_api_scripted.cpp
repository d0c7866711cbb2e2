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

#include <memory>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QString secret = QStringLiteral("s3cret-T0KEN");

QByteArray packJson()
{
    QFile file(qEnvironmentVariable("TAVI_TEST_DATA") + QStringLiteral("/minimal-pack.json"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing minimal-pack.json");
    return file.readAll();
}

CapabilityPack draft()
{
    return CapabilityPack::fromJson(packJson());
}

QByteArray withPack(const QByteArray &rest = QByteArray())
{
    return "{\"pack\":" + packJson() + (rest.isEmpty() ? QByteArray() : "," + rest) + "}";
}

// Runs one operation: the preview's text, or the returned pack's JSON.
QCoro::Task<QString> call(PackAPI client, QString operation, QString text = QString())
{
    if (operation == u"preview"_s)
        co_return co_await client.preview(text, draft());
    QCoro::Task<CapabilityPack> task = operation == u"current"_s ? client.current()
        : operation == u"coach"_s                                ? client.coach(text, draft())
        : operation == u"publish"_s                              ? client.publish(draft())
                                                                 : client.rollback();
    co_return QString::fromUtf8((co_await std::move(task)).toJson());
}

} // namespace

class TestPackAPIScripted : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedHttpServer> server;

    PackAPI api(const QString &token = QString()) const { return PackAPI {server->url(), token}; }

private slots:
    void init()
    {
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->listen());
        PackAPI::setRequestTimeoutForTesting(10s);
    }

    void cleanup() { server.reset(); }

    void statusCheck_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // null: success
        const QByteArray envelope = withPack("\"live_version\":\"v1\"");
        const auto row = [](const char *name, int status, const QByteArray &body,
                             const char *text) {
            QTest::newRow(name) << status << body << (text ? QString::fromUtf8(text) : QString());
        };
        row("200", 200, envelope, nullptr);
        row("299", 299, envelope, nullptr);
        row("199", 199, {}, "API 199: ");
        QTest::newRow("300") << 300 << envelope << u"API 300: "_s + QString::fromUtf8(envelope);
        row("500 empty", 500, {}, "API 500: ");
        row("500 not UTF-8", 500, "caf\xc3 \xff\xfe ok", "API 500: ");
        // Qt reports these as authentication failures of its own; they are answers.
        row("401 with a challenge", 401, "unauthorized", "API 401: unauthorized");
        row("407 with a challenge", 407, "proxy says no", "API 407: proxy says no");
        row("404 verbatim", 404, " { \"error\" : \"no such pack\" }\n",
            "API 404:  { \"error\" : \"no such pack\" }\n");
    }

    void statusCheck()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        ScriptedResponse response = ScriptedResponse::json(status, body);
        for (const char *challenge : {"WWW-Authenticate", "Proxy-Authenticate"})
            response.headers.append(qMakePair(QByteArray(challenge), "Basic realm=\"tavi\""_ba));
        server->enqueue(response);
        try {
            const CapabilityPack pack = awaitTask(api().current());
            QVERIFY2(expected.isNull(), "the call should have failed");
            QCOMPARE(pack, draft());
        } catch (const PackAPIError &error) {
            QCOMPARE(error.description(), expected);
            QCOMPARE(error.kind(), PackAPIError::Kind::http);
            QCOMPARE(error.status(), status);
        }
    }

    void envelopes_data()
    {
        QTest::addColumn<QByteArray>("answer");
        // preview: the text; "pack": the draft comes back; "refused: <part of the error>"
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char *name, const QByteArray &answer, const char *outcome) {
            QTest::newRow(name) << answer << QString::fromUtf8(outcome);
        };
        row("current: all members", withPack("\"live_version\":\"v7\""), "pack");
        row("current: no live_version", withPack(), "pack");
        row("current: live_version null", withPack("\"live_version\":null"), "pack");
        row("current: live_version number", withPack("\"live_version\":7"),
            "refused: live_version must be a string");
        row("current: unknown members hold any JSON",
            withPack(
                R"("live_version":"v1","served":{"n":[1e400,123456789012345678901234567890]})"),
            "pack");
        row("current: byte-order mark", "\xEF\xBB\xBF" + withPack(), "pack");
        row("current: integral number in exponent form",
            withPack().replace("\"max_words\": 120", "\"max_words\": 1.2e2"), "pack");
        row("publish: number with a fraction",
            withPack().replace("\"max_words\": 120", "\"max_words\": 120.5"),
            "refused: pack.modules.reply_rules.max_words must be an integral number");
        row("current: pack null", R"({"pack":null})", "refused: \"pack\" is null");
        row("current: pack missing", R"({"live_version":"v1"})", "refused: \"pack\" is missing");
        row("current: not JSON", "<html>busy</html>", "refused: not valid JSON");
        row("coach: with coach_model and unknown members",
            withPack(R"("coach_model":"mlx","usage":{"tokens":123456789012345678901234567890})"),
            "pack");
        row("publish: unknown members", withPack(R"("live_version":"v2","took":1e400)"), "pack");
        row("coach: without coach_model", withPack(), "pack");
        row("publish: pack missing", R"({"live_version":"v2"})", "refused: \"pack\" is missing");
        row("preview: text", R"({"reply":{"text":"Halo! ✈️","n":-1e999},"pack_version":"v1"})",
            "Halo! ✈️");
        row("preview: reply null", R"({"reply":null})", "");
        row("preview: reply {}", R"({"reply":{}})", "");
        row("preview: text null", R"({"reply":{"text":null}})", "");
        row("preview: pack_version without reply", R"({"pack_version":"v3"})", "");
        row("preview: text number", R"({"reply":{"text":42}})",
            "refused: reply.text must be a string");
    }

    void envelopes()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, outcome);
        const QString operation = QString::fromUtf8(QTest::currentDataTag()).section(u':', 0, 0);
        server->enqueue(ScriptedResponse::json(200, answer));
        const QString errorPart
            = outcome.startsWith(QLatin1String("refused: ")) ? outcome.mid(9) : QString();
        try {
            const QString result = awaitTask(call(api(), operation, QStringLiteral("hi")));
            QVERIFY2(errorPart.isNull(), "the answer should have been refused");
            QVERIFY(!result.isNull());
            QCOMPARE(result,
                outcome == QLatin1String("pack") ? QString::fromUtf8(draft().toJson()) : outcome);
        } catch (const JsonReadError &error) {
            QVERIFY2(!errorPart.isNull() && error.description().contains(errorPart),
                qPrintable(error.description()));
        }
    }

    void requestShape_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QJsonObject>("expectedBody"); // besides "pack"
        const auto row = [](const char *name, const char *token, const QJsonObject &body = {}) {
            QTest::newRow(name) << QString::fromUtf8(token) << body;
        };
        row("current, no token", "");
        row("current, token of spaces", "   ");
        row("coach, token", "tok-1", {{u"instruction"_s, u"Sei wärmer, \"bitte\"\n"_s}});
        row("preview, no token", "", {{u"message"_s, u""_s}, {u"sessionId"_s, u"preview-apple"_s}});
        row("publish, token", "Bearer x y", {{u"coach_model"_s, u"apple-foundation"_s}});
        row("rollback, token", "tok-2");
    }

    void requestShape()
    {
        QFETCH(QString, token);
        QFETCH(QJsonObject, expectedBody);
        const QString operation = QString::fromUtf8(QTest::currentDataTag()).section(u',', 0, 0);
        const QString text = expectedBody.value(u"instruction").toString()
            + expectedBody.value(u"message").toString();
        server->setHandler([](const ScriptedRequest &request) {
            return ScriptedResponse::json(
                200, request.target.endsWith("/preview") ? QByteArray("{}") : withPack());
        });
        awaitTask(call(api(token), operation, text));

        QCOMPARE(server->requestCount(), 1);
        const ScriptedRequest request = server->lastRequest();
        const bool get = operation == u"current"_s, rollback = operation == u"rollback"_s;
        QCOMPARE(request.requestLine,
            (get ? "GET" : "POST") + " /api/capability-packs/"_ba + operation.toUtf8()
                + " HTTP/1.1");
        QList<QByteArray> tokenLines;
        for (const QByteArray &line : request.headers) {
            if (line.toLower().startsWith("x-tavi-operator-token:"))
                tokenLines.append(line);
        }
        QCOMPARE(tokenLines,
            token.isEmpty() ? QList<QByteArray>()
                            : QList {"X-Tavi-Operator-Token: " + token.toUtf8()});
        QCOMPARE(request.headerValues("Content-Type"),
            get ? QList<QByteArray>() : QList<QByteArray> {"application/json"});
        if (get || rollback) {
            QCOMPARE(request.body, rollback ? "{}"_ba : QByteArray());
            return;
        }
        QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.take(u"pack"_s), QJsonValue(QJsonDocument::fromJson(packJson()).object()));
        QCOMPARE(body, expectedBody);
    }

    void transportFailures_data()
    {
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("refused") << u"refused"_s;
        QTest::newRow("hang") << u"did not answer within 1 second"_s;
        QTest::newRow("close") << u"closed the connection"_s;
    }

    void transportFailures()
    {
        QFETCH(QString, errorPart);
        const QString kind = QString::fromUtf8(QTest::currentDataTag());
        PackAPI::setRequestTimeoutForTesting(1s);
        QUrl base = server->url();
        QTcpServer probe;
        if (kind == QLatin1String("refused")) {
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            base.setPort(probe.serverPort());
            probe.close();
        } else {
            server->setHandler([kind](const ScriptedRequest &) {
                return kind == QLatin1String("hang") ? ScriptedResponse::hang()
                                                     : ScriptedResponse::close();
            });
        }
        const PackAPI client {base, secret};
        for (const QString &error : {awaitError(client.current()), awaitError(client.rollback())}) {
            QVERIFY2(error.contains(errorPart), qPrintable(error));
            QVERIFY2(!error.contains(secret), qPrintable(error));
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
        const QByteArray location
            = sameOrigin ? QByteArray("/moved/here") : other.url(u"/moved/here"_s).toEncoded();
        server->enqueue(ScriptedResponse::redirect(status, location));
        target.setHandler(
            [](const ScriptedRequest &) { return ScriptedResponse::json(200, withPack()); });
        QCOMPARE(awaitTask(call(api(secret), operation)), QString::fromUtf8(draft().toJson()));

        const ScriptedRequest first = server->requests().first();
        const ScriptedRequest moved = target.lastRequest();
        QCOMPARE(first.header("X-Tavi-Operator-Token"), secret.toUtf8());
        QCOMPARE(moved.method + ' ' + moved.target, expectedMethod + " /moved/here");
        QCOMPARE(moved.headers.join('\n').contains(secret.toUtf8()), sameOrigin);
        const bool post = expectedMethod == "POST";
        QCOMPARE(moved.body, post ? first.body : QByteArray());
        QCOMPARE(moved.hasHeader("Content-Type"), post);
    }

    void refusedBeforeSending()
    {
        for (const QString &token :
            {u"abc\r\nX-Evil: 1"_s, u"abc\nX"_s, u"abc\rX"_s, u"abc"_s + QChar(0)}) {
            const QString error = awaitError(api(token).current());
            QVERIFY2(error.contains(u"line break"_s) && !error.contains(token), qPrintable(error));
        }
        CapabilityPack broken = draft();
        broken.modules.persona.voice = u"Warm "_s + QChar(0xD800);
        const QString surrogate = awaitError(api().publish(broken));
        QVERIFY2(surrogate.contains(u"lone surrogate"_s), qPrintable(surrogate));
        QCOMPARE(server->requestCount(), 0);
    }

    void baseAndApiURL_data()
    {
        QTest::addColumn<QByteArray>("value"); // TAVI_API_BASE; null: unset
        QTest::addColumn<QString>("expected"); // before the path; null: the built-in default
        QTest::newRow("unset") << QByteArray() << QString();
        const auto row = [](const char *name, const char *value, const char *expected = nullptr) {
            QTest::newRow(name) << QByteArray(value)
                                << (expected ? QString::fromUtf8(expected) : QString());
        };
        row("empty", "");
        row("leading blank", " http://127.0.0.1:9");
        row("broken escape", "http://127.0.0.1/%zz");
        row("one slash", "http://h.example/", "http://h.example");
        row("two slashes", "http://h.example//", "http://h.example");
        row("prefix", "https://h.example:8443/svc/v2/", "https://h.example:8443/svc/v2");
        row("escaped prefix", "http://h.example/a%20b/", "http://h.example/a%20b");
        row("relative", "packs/here", "packs/here");
        row("relative, slashes", "//packs/", "packs");
    }

    void baseAndApiURL()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        value.isNull() ? qunsetenv("TAVI_API_BASE") : qputenv("TAVI_API_BASE", value);
        const QString path = u"/api/capability-packs/current"_s;
        const QUrl url = PackAPI {PackAPI::defaultBase(), {}}.apiURL(path);
        if (expected.isNull()) {
            QCOMPARE(url.scheme(), QStringLiteral("https"));
            QVERIFY(url.host().endsWith(QLatin1String(".example")));
            QVERIFY(url.path().endsWith(path));
        } else {
            QCOMPARE(url.toString(QUrl::FullyEncoded), expected + path);
        }
    }
};

QTEST_GUILESS_MAIN(TestPackAPIScripted)
#include "test_pack_api_scripted.moc"
