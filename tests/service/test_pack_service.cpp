// The reference pack service, driven over real HTTP on 127.0.0.1 as a separate
// process: what it stores, what it refuses, and what survives a kill -9.

#include "PackServiceProcess.h"
#include "ScriptedModelServer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

#define START(service) QVERIFY2((service).start(), qPrintable((service).output()))

namespace {

constexpr qsizetype sizeLimit = 8 * 1024 * 1024;

struct Answer
{
    int status = 0;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QJsonObject pack() const { return json()[u"pack"_s].toObject(); }
    QString version() const { return pack()[u"version"_s].toString(); }
};

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray publishBody(const QJsonObject &pack)
{
    return compact({{u"pack"_s, pack}, {u"coach_model"_s, u"apple-foundation"_s}});
}

// Padded with a member the service ignores, to exactly `size` bytes.
QByteArray padded(const QByteArray &body, qsizetype size)
{
    const QByteArray open = body.chopped(1) + ",\"padding\":\"";
    return open + QByteArray(size - open.size() - 2, 'x') + "\"}";
}

QJsonObject withField(QJsonObject pack, const QString &module, const QString &key, QJsonValue value)
{
    QJsonObject modules = pack[u"modules"_s].toObject();
    QJsonObject fields = modules[module].toObject();
    fields[key] = value;
    modules[module] = fields;
    pack[u"modules"_s] = modules;
    return pack;
}

QJsonObject withVoice(const QJsonObject &pack, const QString &voice)
{
    return withField(pack, u"persona"_s, u"voice"_s, voice);
}

PackServiceProcess::Options options(const QStringList &arguments)
{
    PackServiceProcess::Options options;
    options.extraArguments = arguments;
    return options;
}

QString voiceOf(const QJsonObject &pack)
{
    return pack[u"modules"_s][u"persona"_s][u"voice"_s].toString();
}

// Paths are relative to /api/capability-packs/.
class Client
{
public:
    explicit Client(PackServiceProcess::Options options = {})
        : service(std::move(options))
    { }

    QNetworkReply *send(const QByteArray &method, const QString &path, const QByteArray &body = {},
        const QByteArray &token = {})
    {
        QNetworkRequest request(service.baseUrl().resolved(u"/api/capability-packs/"_s + path));
        if (!token.isNull())
            request.setRawHeader("X-Tavi-Operator-Token", token);
        if (method != "GET")
            request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        return m_network.sendCustomRequest(request, method, body);
    }
    static Answer wait(QNetworkReply *reply)
    {
        if (!reply->isFinished())
            QSignalSpy(reply, &QNetworkReply::finished).wait(30000);
        reply->deleteLater();
        return {
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    }
    Answer call(const QByteArray &method, const QString &path, const QByteArray &body = {},
        const QByteArray &token = {})
    {
        return wait(send(method, path, body, token));
    }
    Answer current() { return call("GET", u"current"_s); }
    Answer publish(const QJsonObject &pack)
    {
        return call("POST", u"publish"_s, publishBody(pack));
    }
    Answer rollback() { return call("POST", u"rollback"_s, "{}"); }
    QStringList history()
    {
        QStringList labels;
        for (const QJsonValue &row : call("GET", u"history"_s).json()[u"versions"_s].toArray())
            labels << row[u"version"_s].toString();
        return labels;
    }

    PackServiceProcess service;

private:
    QNetworkAccessManager m_network;
};

// Every refusal but 401 is a JSON object with a text "error".
void verifyError(const Answer &answer, int status, const QString &mentions = {})
{
    QCOMPARE(answer.status, status);
    const QJsonValue error = answer.json()[u"error"_s];
    QVERIFY2(error.isString() && error.toString().contains(mentions), answer.body.constData());
}

// One raw HTTP connection, for what a well-behaved client never does. What
// arrives is collected as it comes, so an answer is kept when the service
// closes the connection after it.
class Raw
{
public:
    explicit Raw(const QUrl &base)
    {
        QObject::connect(
            &m_socket, &QTcpSocket::readyRead, [this] { m_buffer += m_socket.readAll(); });
        m_socket.connectToHost(u"127.0.0.1"_s, quint16(base.port()));
        connected = m_socket.waitForConnected(5000);
    }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.waitForBytesWritten(5000);
    }
    // The head of the next answer, with its body read past; empty when none came.
    QByteArray answerHead()
    {
        qsizetype end = -1, size = 0;
        const auto complete = [&] {
            end = m_buffer.indexOf("\r\n\r\n");
            const QByteArray head = m_buffer.left(qMax(end, 0)).toLower();
            const qsizetype at = head.indexOf("content-length: ");
            size = end + 4 + (at < 0 ? 0 : head.mid(at + 16).split('\r').first().toLongLong());
            return end >= 0 && m_buffer.size() >= size;
        };
        if (!QTest::qWaitFor(complete, 5000))
            return {};
        const QByteArray head = m_buffer.left(end);
        m_buffer.remove(0, size);
        return head;
    }
    bool closedWithin(int ms)
    {
        return QTest::qWaitFor(
            [this] { return m_socket.state() != QAbstractSocket::ConnectedState; }, ms);
    }

    bool connected = false;

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

const QByteArray getCurrent = "GET /api/capability-packs/current HTTP/1.1\r\nHost: t\r\n\r\n";

} // namespace

class TestPackService : public QObject
{
    Q_OBJECT

private slots:
    void publishAndRollbackWalkTheLiveHistory()
    {
        Client client;
        START(client.service);
        const Answer seeded = client.current();
        QCOMPARE(seeded.version(), u"v1"_s);

        QJsonObject draft = withVoice(seeded.pack(), u"Santai."_s);
        draft[u"status"_s] = u"draft"_s;
        draft[u"provenance"_s] = QJsonObject {{u"author"_s, u"operator"_s}};
        // A body of exactly the size limit is still taken.
        const Answer second
            = client.call("POST", u"publish"_s, padded(publishBody(draft), sizeLimit));
        const QJsonObject stored = second.pack();
        QCOMPARE(stored[u"version"_s].toString(), u"v2"_s);
        QCOMPARE(stored[u"parent_version"_s].toString(), u"v1"_s);
        QCOMPARE(stored[u"status"_s].toString(), u"live"_s);
        QCOMPARE(stored[u"provenance"_s], draft[u"provenance"_s]);
        QCOMPARE(client.current().body, second.body);
        QCOMPARE(client.publish(withVoice(stored, u"Formal."_s)).version(), u"v3"_s);

        QCOMPARE(client.rollback().version(), u"v2"_s);
        const Answer first = client.rollback();
        QCOMPARE(first.json()[u"live_version"_s].toString(), u"v1"_s);
        QCOMPARE(voiceOf(first.pack()), voiceOf(seeded.pack()));
        verifyError(client.rollback(), 409);

        // A publish after rollbacks derives from the live v1 and rolls back to
        // it, never to the rolled-back v2 or v3, which are still kept.
        const Answer fourth = client.publish(withVoice(first.pack(), u"Baru."_s));
        QCOMPARE(fourth.version(), u"v4"_s);
        QCOMPARE(fourth.pack()[u"parent_version"_s].toString(), u"v1"_s);
        QCOMPARE(client.rollback().version(), u"v1"_s);
        QCOMPARE(client.history(), QStringList({u"v1"_s, u"v2"_s, u"v3"_s, u"v4"_s}));
    }

    void racingPublishesOfOneVersionLetOneWin()
    {
        Client client;
        START(client.service);
        const QJsonObject base = client.current().pack();
        std::vector<QNetworkReply *> replies;
        for (int i = 0; i < 8; ++i)
            replies.push_back(client.send(
                "POST", u"publish"_s, publishBody(withVoice(base, QString::number(i)))));
        QStringList winners;
        for (QNetworkReply *reply : replies) {
            const Answer answer = Client::wait(reply);
            if (answer.status == 200)
                winners << voiceOf(answer.pack());
            else
                verifyError(answer, 409, u"v2"_s);
        }
        QCOMPARE(winners.size(), 1);
        QCOMPARE(voiceOf(client.current().pack()), winners.first());
    }

    void tokenIsCheckedOnEveryRequest_data()
    {
        QTest::addColumn<QByteArray>("sent");
        for (const char *sent : {"", "s3cret tokex", "s3cret", "s3cret token!", "s3cret token"})
            QTest::newRow(*sent ? sent : "none") << (*sent ? QByteArray(sent) : QByteArray());
    }
    void tokenIsCheckedOnEveryRequest()
    {
        QFETCH(QByteArray, sent);
        PackServiceProcess::Options options;
        options.token = u"s3cret token"_s;
        Client client(options);
        START(client.service);
        for (const QString &path : {u"current"_s, u"rollback"_s, u"coach"_s, u"no-such"_s}) {
            const bool get = path == u"current"_s;
            const Answer answer = client.call(get ? "GET" : "POST", path, get ? "" : "{}", sent);
            QVERIFY2((answer.status == 401) == (sent != "s3cret token"), qPrintable(path));
            if (answer.status == 401)
                QCOMPARE(answer.body, QByteArray("unauthorized"));
        }
        QVERIFY2(!client.service.output().contains(u"s3cret"_s), "the token reached the log");
    }

    void badRequestsAreRefusedAndLoseNothing_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("mentions");
        QFile seed(PackServiceProcess::defaultSeedPath());
        QVERIFY(seed.open(QIODevice::ReadOnly));
        const QJsonObject pack = QJsonDocument::fromJson(seed.readAll()).object();
        const auto row = [](const char *name, const QByteArray &method, const QString &path,
                             const QByteArray &body, int status, const QString &mentions = {}) {
            QTest::newRow(name) << method << path << body << status << mentions;
        };
        row("not JSON", "POST", u"publish"_s, "{\"pack\":", 400);
        row("no coach_model", "POST", u"publish"_s, compact({{u"pack"_s, pack}}), 400,
            u"coach_model"_s);
        row("max_words as text", "POST", u"publish"_s,
            publishBody(withField(pack, u"reply_rules"_s, u"max_words"_s, u"120"_s)), 422,
            u"max_words"_s);
        row("a byte past the size limit", "POST", u"publish"_s,
            padded(publishBody(pack), sizeLimit + 1), 413);
        row("unknown path", "GET", u"latest"_s, {}, 404);
        row("GET publish", "GET", u"publish"_s, {}, 405);
        row("coach, no model", "POST", u"coach"_s,
            compact({{u"instruction"_s, u"Halo"_s}, {u"pack"_s, pack}}), 503,
            u"No model is configured"_s);
    }
    void badRequestsAreRefusedAndLoseNothing()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, mentions);
        Client client;
        START(client.service);
        const Answer before = client.current();
        verifyError(client.call(method, path, body), status, mentions);
        // History reads the store; current may answer from the copy the service keeps at hand.
        QCOMPARE(client.current().body, before.body);
        QCOMPARE(client.history(), QStringList {u"v1"_s});
    }

    void coachAndPreviewAskTheModel()
    {
        // The base ends in a slash, as operators often type it; the model server
        // answers nothing but POST /v1/chat/completions.
        ScriptedModelServer model;
        PackServiceProcess::Options options;
        options.modelUrl = model.baseUrl().toString() + u'/';
        options.model = u"udez-7b"_s;
        Client client(options);
        START(client.service);
        const QJsonObject pack = client.current().pack();
        const QByteArray coachBody
            = compact({{u"instruction"_s, u"Lebih ceria"_s}, {u"pack"_s, pack}});
        const auto sent = [&] { return model.chatRequests().last(); };

        // Models wrap their JSON in prose; an empty key leaves its field alone.
        model.setAnswer(uR"(Tentu! {"voice":"Ceria.","cta":""} Oke.)"_s);
        const QJsonObject draft = client.call("POST", u"coach"_s, coachBody).pack();
        QCOMPARE(voiceOf(draft), u"Ceria."_s);
        QCOMPARE(draft[u"modules"_s][u"reply_rules"_s][u"cta"_s],
            pack[u"modules"_s][u"reply_rules"_s][u"cta"_s]);
        const QJsonObject provenance = draft[u"provenance"_s].toObject();
        QCOMPARE(provenance[u"coach_model"_s].toString(), u"udez-7b"_s);
        QCOMPARE(provenance[u"coach_instruction"_s].toString(), u"Lebih ceria"_s);
        QCOMPARE(client.current().version(), u"v1"_s); // coaching publishes nothing
        QCOMPARE(sent()[u"model"_s].toString(), u"udez-7b"_s);
        QVERIFY(sent()[u"messages"_s][1][u"content"_s].toString().contains(u"Lebih ceria"_s));

        // Preview: the draft's reply instructions as the system message; a null
        // completion, which some servers send, is an empty reply.
        const QByteArray previewBody
            = compact({{u"message"_s, u"Halo"_s}, {u"pack"_s, draft}, {u"sessionId"_s, u"s1"_s}});
        model.setAnswer(u"Halo Kak!"_s);
        QCOMPARE(client.call("POST", u"preview"_s, previewBody).json()[u"reply"_s][u"text"_s],
            QJsonValue(u"Halo Kak!"_s));
        QVERIFY(sent()[u"messages"_s][0][u"content"_s].toString().contains(u"\nVoice: Ceria.\n"_s));
        QCOMPARE(sent()[u"messages"_s][1][u"content"_s].toString(), u"Halo"_s);
        model.setChatResponse(ScriptedResponse::json(
            200, R"({"choices":[{"message":{"role":"assistant","content":null}}]})"));
        QCOMPARE(client.call("POST", u"preview"_s, previewBody).json()[u"reply"_s][u"text"_s],
            QJsonValue(u""_s));

        model.setChatResponse(
            ScriptedResponse::json(500, R"({"error":{"message":"out of memory"}})"));
        verifyError(client.call("POST", u"coach"_s, coachBody), 502, u"500"_s);
    }

    void connectionsCloseUnlessKeptAlive_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("kept");
        QTest::newRow("1.0") << QByteArray("HTTP/1.0\r\n") << false;
        QTest::newRow("1.0 keep-alive")
            << QByteArray("HTTP/1.0\r\nConnection: Keep-Alive\r\n") << true;
        QTest::newRow("1.1") << QByteArray("HTTP/1.1\r\nHost: t\r\n") << true;
        QTest::newRow("1.1 close")
            << QByteArray("HTTP/1.1\r\nHost: t\r\nConnection: close\r\n") << false;
    }
    void connectionsCloseUnlessKeptAlive()
    {
        QFETCH(QByteArray, head);
        QFETCH(bool, kept);
        PackServiceProcess service;
        START(service);
        Raw raw(service.baseUrl());
        QVERIFY(raw.connected);
        for (const char *path : {"current", "history"}) {
            raw.send(QByteArray("GET /api/capability-packs/") + path + " " + head + "\r\n");
            const QByteArray answer = raw.answerHead();
            QVERIFY2(answer.startsWith("HTTP/1.1 200 ")
                    && answer.contains(
                        kept ? "\r\nConnection: keep-alive" : "\r\nConnection: close"),
                answer.constData());
            QCOMPARE(raw.closedWithin(kept ? 300 : 5000), !kept);
            if (!kept)
                break;
        }
    }

    void hostileConnectionsAreCappedAndTimedOut()
    {
        PackServiceProcess service(options({u"--max-connections"_s, u"4"_s, u"--head-timeout-ms"_s,
            u"1000"_s, u"--idle-timeout-ms"_s, u"1500"_s}));
        START(service);
        // The four slots: half a head, silence, kept alive after an answer, a trickle.
        Raw half(service.baseUrl()), silent(service.baseUrl()), idle(service.baseUrl()),
            trickle(service.baseUrl());
        QVERIFY(half.connected && silent.connected && idle.connected && trickle.connected);
        half.send("GET /api/capability-packs/current HTTP/1.1\r\nHost:");
        idle.send(getCurrent);
        QVERIFY(idle.answerHead().startsWith("HTTP/1.1 200 "));
        for (int i = 0; i < 3; ++i) {
            Raw refused(service.baseUrl());
            refused.send(getCurrent);
            QVERIFY(refused.answerHead().startsWith("HTTP/1.1 503 "));
            QVERIFY(refused.closedWithin(5000));
        }
        // Those already open are served past the cap.
        idle.send(getCurrent);
        QVERIFY(idle.answerHead().startsWith("HTTP/1.1 200 "));
        // A head sent a byte at a time does not stretch its deadline.
        for (const char byte : getCurrent.left(30)) {
            trickle.send(QByteArray(1, byte));
            QTest::qWait(60);
        }
        trickle.send(getCurrent.mid(30));
        QVERIFY(trickle.answerHead().startsWith("HTTP/1.1 408 "));
        for (Raw *raw : {&half, &silent, &idle, &trickle})
            QVERIFY(raw->closedWithin(10000));
        // Closed ones make room.
        QVERIFY(QTest::qWaitFor(
            [&] {
                Raw next(service.baseUrl());
                next.send(getCurrent);
                return next.answerHead().startsWith("HTTP/1.1 200 ");
            },
            5000));
    }

    void anOpenAddressNeedsATokenOrConsent()
    {
        PackServiceProcess open(options({u"--listen"_s, u"0.0.0.0:0"_s}));
        QVERIFY(!open.start());
        QVERIFY2(open.output().contains(u"refusing to serve 0.0.0.0:0 without an operator token"_s),
            qPrintable(open.output()));
        PackServiceProcess local;
        START(local);
        QVERIFY2(
            local.output().contains(u"warning: no operator token"_s), qPrintable(local.output()));
    }

    void killInTheMiddleOfPublishingLosesNothing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        PackServiceProcess::Options options = ::options({u"--pause-in-publish"_s, u"3"_s});
        options.db = dir.filePath(u"packs.db"_s);
        auto client = std::make_unique<Client>(options);
        START(client->service);
        QJsonObject live = client->current().pack();
        for (const QString &voice : {u"dua"_s, u"tiga"_s})
            live = client->publish(withVoice(live, voice)).pack();
        // The third publish stalls inside its transaction; SIGKILL lands there.
        QNetworkReply *inFlight
            = client->send("POST", u"publish"_s, publishBody(withVoice(live, u"empat"_s)));
        QVERIFY2(client->service.waitForOutput(u"publish paused before commit"_s),
            qPrintable(client->service.output()));
        client->service.kill();
        QVERIFY(Client::wait(inFlight).status != 200);
        client.reset();

        // Same file, no stall: everything committed is there, the torn write is
        // not, and the sequence and the chain go on whole.
        options.extraArguments.clear();
        Client after(options);
        START(after.service);
        const Answer current = after.current();
        QCOMPARE(current.version(), u"v3"_s);
        QCOMPARE(voiceOf(current.pack()), u"tiga"_s);
        QCOMPARE(after.history().size(), 3);
        QCOMPARE(after.publish(withVoice(current.pack(), u"lima"_s)).version(), u"v4"_s);
        QCOMPARE(after.rollback().version(), u"v3"_s);
        QCOMPARE(voiceOf(after.rollback().pack()), u"dua"_s);
        QCOMPARE(after.rollback().version(), u"v1"_s);
    }
};

QTEST_GUILESS_MAIN(TestPackService)
#include "test_pack_service.moc"
