// The scripted server is what the client and model tests stand on: if its
// framing or keep-alive handling were wrong, their failures would mislead.

#include "ScriptedHttpServer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

class TestScriptedHttpServer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QNetworkReply> finish(QNetworkReply *reply)
    {
        std::unique_ptr<QNetworkReply> owned(reply);
        if (!reply->isFinished()) {
            QSignalSpy spy(reply, &QNetworkReply::finished);
            spy.wait(5000);
        }
        return owned;
    }

private slots:
    void keepAliveCarriesSeveralRequestsOnOneConnection()
    {
        ScriptedHttpServer server;
        QVERIFY(server.listen());
        server.enqueue(ScriptedResponse::text(299, "first"));
        server.enqueue(ScriptedResponse::json(404, R"({"error":"x"})"));
        server.setHandler([](const ScriptedRequest &request) {
            return ScriptedResponse::text(200, request.method + ' ' + request.body);
        });
        QNetworkAccessManager manager;
        auto first = finish(manager.get(QNetworkRequest(server.url(QStringLiteral("/a?b=1")))));
        QCOMPARE(first->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 299);
        QCOMPARE(first->readAll(), QByteArray("first"));
        auto second = finish(manager.get(QNetworkRequest(server.url(QStringLiteral("/b")))));
        QCOMPARE(second->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
        QCOMPARE(second->readAll(), QByteArray(R"({"error":"x"})"));
        QNetworkRequest post(server.url(QStringLiteral("/c")));
        post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        auto third = finish(manager.post(post, QByteArray(100000, 'x')));
        QCOMPARE(third->readAll(), QByteArray("POST ") + QByteArray(100000, 'x'));

        QCOMPARE(server.requestCount(), 3);
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(server.requests()[0].requestLine, QByteArray("GET /a?b=1 HTTP/1.1"));
        QCOMPARE(server.requests()[2].header("content-type"), QByteArray("application/json"));
    }

    void rawSocketFramingAndPipelining()
    {
        ScriptedHttpServer server;
        QVERIFY(server.listen());
        server.setHandler([](const ScriptedRequest &request) {
            auto response = ScriptedResponse::text(200, request.body);
            if (request.target == "/slow")
                response.delay = 50ms;
            return response;
        });
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(5000));
        // A chunked body and a pipelined second request behind a delayed first.
        socket.write("POST /slow HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                     "3\r\nabc\r\n2;ext=1\r\nde\r\n0\r\n\r\n"
                     "POST /fast HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nfg");
        QByteArray received;
        const QByteArray expected = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; "
                                    "charset=utf-8\r\nContent-Length: 5\r\n\r\nabcde"
                                    "HTTP/1.1 200 OK\r\nContent-Type: text/plain; "
                                    "charset=utf-8\r\nContent-Length: 2\r\n\r\nfg";
        QTRY_VERIFY_WITH_TIMEOUT((received += socket.readAll()).size() >= expected.size(), 5000);
        QCOMPARE(received, expected);
        QCOMPARE(server.requests()[0].body, QByteArray("abcde"));
    }
};

QTEST_GUILESS_MAIN(TestScriptedHttpServer)
#include "test_scripted_http_server.moc"
