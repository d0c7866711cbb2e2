// What a coach run costs on top of the model itself, and how extract scales with
// the length of an answer.

#include "Await.h"
#include "BenchSupport.h"
#include "LanguageModel.h"
#include "Network.h"
#include "ScriptedModelServer.h"
#include "TaviCoach.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

using namespace std::chrono_literals;

namespace {

CapabilityPack samplePack()
{
    CapabilityPack pack;
    pack.packId = QStringLiteral("tavi-core");
    pack.version = QStringLiteral("1");
    pack.status = QStringLiteral("draft");
    pack.modules.persona.name = QStringLiteral("Tavi");
    pack.modules.persona.voice = QStringLiteral("Warm and concise.");
    pack.modules.replyRules.cta = QStringLiteral("Offer to check availability.");
    pack.modules.guardrails.confirmCopy = QStringLiteral("Shall I go ahead?");
    return pack;
}

struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};

// The chat request posted straight to the server: the floor that the coach's own
// work (fresh probe, prompt, parsing, drafting) is measured against.
QCoro::Task<QByteArray> directChat(QUrl url, QByteArray body)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(
        sharedNetworkAccessManager().post(request, body));
    co_await reply.get();
    co_return reply->readAll();
}

QByteArray chatBody(const QString &model)
{
    const QJsonObject body {
        {QStringLiteral("model"), model},
        {QStringLiteral("messages"),
            QJsonArray {QJsonObject {{QStringLiteral("role"), QStringLiteral("system")},
                            {QStringLiteral("content"), QStringLiteral("You are a coach.")}},
                QJsonObject {{QStringLiteral("role"), QStringLiteral("user")},
                    {QStringLiteral("content"), QStringLiteral("Be warmer.")}}}},
        {QStringLiteral("stream"), false},
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

void coachOverhead(std::chrono::milliseconds modelTime, int runs, double budget)
{
    ScriptedModelServer server;
    server.makeDefault();
    server.setAnswer(QStringLiteral(R"({"voice":"Bright","cta":"Ask the date",)"
                                    R"("confirm_copy":"Go ahead?","preview_reply":"Halo!"})"));
    server.setAnswerDelay(modelTime);
    const QUrl chatUrl(server.baseUrl().toString() + QStringLiteral("/chat/completions"));
    const QByteArray body = chatBody(server.modelName());
    const CapabilityPack pack = samplePack();

    const double direct = Bench::medianNanos([&] { awaitTask(directChat(chatUrl, body)); }, runs);
    const double coach = Bench::medianNanos(
        [&] {
            if (!awaitTask(TaviCoach::appleDraft(QStringLiteral("Be warmer."), pack)))
                qFatal("the scripted model was not available");
        },
        runs);
    const QString name = QStringLiteral("coach run (fresh probe + chat) vs direct chat, model "
                                        "answering in %1 ms")
                             .arg(modelTime.count());
    if (budget > 0)
        Bench::reportRatio(name, coach, direct, budget);
    else
        Bench::reportValue(name + QStringLiteral(", ratio"), coach / direct, QStringLiteral("x"));
    Bench::reportValue(
        name + QStringLiteral(", added"), (coach - direct) / 1e3, QStringLiteral("us"));
}

// A long answer that is not JSON as a whole, so extract takes every step: the whole
// parse fails, the brace search runs, and the object inside is parsed.
QString longAnswer(qsizetype bytes)
{
    const QString filler = QStringLiteral("Sure, here is the draft you asked for. ");
    QString reply;
    reply.reserve(bytes);
    while (reply.size() < bytes / 2)
        reply += filler;
    QString text = QStringLiteral("Preface. {\"voice\":\"Bright\",\"preview_reply\":\"") + reply
        + QStringLiteral("\"} ");
    while (text.size() < bytes)
        text += filler;
    return text;
}

double extractNanos(qsizetype bytes)
{
    const QString text = longAnswer(bytes);
    return Bench::medianNanos(
        [&] {
            if (TaviCoach::extract(u"voice", text) != QStringLiteral("Bright"))
                qFatal("extract lost the voice");
        },
        31);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    // A model answering instantly shows the raw cost of the extra probe; a real model
    // takes seconds, so the budget is held against a model that answers in 25 ms,
    // still far quicker than any local model writes four members.
    coachOverhead(0ms, 200, 0);
    coachOverhead(25ms, 40, 1.2);

    const double oneMB = extractNanos(1 << 20);
    const double fourMB = extractNanos(4 << 20);
    Bench::reportValue(QStringLiteral("extract, 1 MB answer"), oneMB / 1e6, QStringLiteral("ms"));
    Bench::reportValue(QStringLiteral("extract, 4 MB answer"), fourMB / 1e6, QStringLiteral("ms"));
    // Linear: four times the text, at most five times the time.
    Bench::reportRatio(QStringLiteral("extract 4 MB vs 1 MB"), fourMB, oneMB, 5.0);
    return Bench::exitCode();
}
