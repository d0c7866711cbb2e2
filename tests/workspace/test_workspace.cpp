// The workspace end to end: real HTTP to the reference pack service and to a
// scripted local model server; no window.

#include "Await.h"
#include "LanguageModel.h"
#include "PackServiceProcess.h"
#include "ScriptedHttpServer.h"
#include "ScriptedModelServer.h"
#include "VoridIzid.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

const QByteArray kCoachAnswer
    = R"({"voice":"Ramah sekali.","cta":"Mau saya cek jadwalnya?","confirm_copy":"Yakin, Kak?","preview_reply":"Halo Kak!"})";

QByteArray seedBytes()
{
    QFile file(PackServiceProcess::defaultSeedPath());
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the seed pack");
    return file.readAll();
}

// Records, in order, every change an operation makes that a window would show:
// "busy" and "idle" for the flag, and the names of the other fields.
struct Trace
{
    explicit Trace(VoridIzid &observed)
    {
        const auto record = [&](auto signal, const char *name) {
            QObject::connect(&observed, signal, &observed, [this, name] { events.append(name); });
        };
        QObject::connect(&observed, &VoridIzid::busyChanged, &observed,
            [this, &observed] { events.append(observed.busy() ? "busy" : "idle"); });
        record(&VoridIzid::packChanged, "pack");
        record(&VoridIzid::previewReplyChanged, "reply");
        record(&VoridIzid::sourceLabelChanged, "label");
        record(&VoridIzid::statusChanged, "status");
    }
    QByteArrayList events;
};

QString serviceUrl(const PackServiceProcess &service)
{
    return service.baseUrl().toString();
}

// A stand-in service that answers every request with the seed pack after
// `delay`, and preview requests with `previewAnswer` when one is given.
struct StandIn
{
    explicit StandIn(std::chrono::milliseconds delay = 0ms)
    {
        if (!http.listen())
            qFatal("cannot listen");
        const QByteArray answer = "{\"pack\":" + seedBytes() + "}";
        http.setHandler([this, answer, delay](const ScriptedRequest &request) {
            ScriptedResponse response = ScriptedResponse::json(
                200, request.target.endsWith("/preview") ? previewAnswer : answer);
            return response.withDelay(delay);
        });
    }
    QString url() const { return http.url().toString(); }
    ScriptedHttpServer http;
    QByteArray previewAnswer;
};

} // namespace

class WorkspaceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_model = std::make_unique<ScriptedModelServer>();
        m_model->makeDefault();
        m_service = std::make_unique<PackServiceProcess>();
        QVERIFY2(m_service->start(), qPrintable(m_service->output()));
    }

    void cleanup()
    {
        m_service.reset();
        m_model.reset();
        qunsetenv("TAVI_API_BASE");
    }

    void loadTakesTheLivePackAndReplacesEdits()
    {
        VoridIzid workspace;
        workspace.setApiBase(serviceUrl(*m_service));
        Trace trace(workspace);
        awaitTask(workspace.loadAsync());
        QCOMPARE(workspace.status(), QStringLiteral("Loaded v1"));
        QCOMPARE(*workspace.pack(), CapabilityPack::fromJson(seedBytes()));
        QCOMPARE(trace.events, QByteArrayList({"busy", "pack", "status", "idle"}));

        // Edits, then a reload: the live pack wins, the labels stay.
        workspace.setVoice(QStringLiteral("edited voice"));
        workspace.setCta(QStringLiteral("edited cta"));
        QCOMPARE(workspace.pack()->modules.persona.voice, QStringLiteral("edited voice"));
        awaitTask(workspace.previewAsync()); // fills the labels
        const QString reply = workspace.previewReply();
        const QString label = workspace.sourceLabel();
        awaitTask(workspace.loadAsync());
        QCOMPARE(workspace.status(), QStringLiteral("Loaded v1"));
        QCOMPARE(*workspace.pack(), CapabilityPack::fromJson(seedBytes()));
        QCOMPARE(workspace.previewReply(), reply);
        QCOMPARE(workspace.sourceLabel(), label);
        QCOMPARE(workspace.busy(), false);
    }

    void largeDraftTravelsWhole()
    {
        // Large answers are decoded, and pack bodies written, on a worker thread.
        CapabilityPack large = CapabilityPack::fromJson(seedBytes());
        QList<CapabilityPack::NLUExample> examples;
        for (int i = 0; i < 3000; ++i)
            examples.append({QStringLiteral("Cari hotel di Ubud untuk %1 malam").arg(i),
                QStringLiteral("hotel_search"), std::nullopt});
        large.modules.nlu.examples = examples;
        QTemporaryDir dir;
        QFile seed(dir.filePath(QStringLiteral("large.json")));
        QVERIFY(seed.open(QIODevice::WriteOnly) && seed.write(large.toJson()) > 64 * 1024);
        seed.close();
        PackServiceProcess::Options options;
        options.seed = seed.fileName();
        PackServiceProcess service(options);
        QVERIFY2(service.start(), qPrintable(service.output()));

        VoridIzid workspace;
        workspace.setApiBase(serviceUrl(service));
        awaitTask(workspace.loadAsync());
        QCOMPARE(*workspace.pack(), large);
        workspace.setVoice(QStringLiteral("besar"));
        awaitTask(workspace.publishAsync());
        QCOMPARE(workspace.status(), QStringLiteral("Live Tavi now v2"));
        QCOMPARE(workspace.pack()->modules.nlu.examples, large.modules.nlu.examples);
        QCOMPARE(workspace.voice(), QStringLiteral("besar"));
    }

    void emptiedOrChangedBaseTakesEffectOnTheNextOperation()
    {
        qputenv("TAVI_API_BASE", serviceUrl(*m_service).toUtf8());
        VoridIzid workspace;
        workspace.setApiBase(QString());
        awaitTask(workspace.loadAsync());
        QCOMPARE(workspace.status(), QStringLiteral("Loaded v1"));
        QCOMPARE(workspace.apiBase(), QString()); // the field keeps what was typed

        // A slow service answers the load already under way, although the base
        // changes to a dead address meanwhile.
        StandIn slow(300ms);
        workspace.setApiBase(slow.url());
        workspace.load();
        QVERIFY(workspace.busy());
        QVERIFY(slow.http.waitForRequests(1));
        workspace.setApiBase(QStringLiteral("http://127.0.0.1:1"));
        QTRY_VERIFY(!workspace.busy());
        QCOMPARE(workspace.status(), QStringLiteral("Loaded v1"));

        awaitTask(workspace.loadAsync());
        QVERIFY(workspace.status() != QStringLiteral("Loaded v1"));
        QCOMPARE(slow.http.requestCount(), 1);
    }

    void draftActionsNeedADraft()
    {
        VoridIzid workspace;
        workspace.setApiBase(serviceUrl(*m_service));
        QSignalSpy busy(&workspace, &VoridIzid::busyChanged);
        QSignalSpy status(&workspace, &VoridIzid::statusChanged);
        awaitTask(workspace.coachAsync());
        awaitTask(workspace.previewAsync());
        awaitTask(workspace.publishAsync());
        QCOMPARE(busy.count(), 0);
        QCOMPARE(status.count(), 0);
        QCOMPARE(workspace.status(), QStringLiteral("Load the live pack to begin."));
        QCOMPARE(m_model->chatRequests().size(), 0);
    }

    void coachOnDevice_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("replaces");
        QTest::addColumn<QString>("reply");
        QTest::newRow("with preview")
            << QString::fromUtf8(kCoachAnswer) << true << QStringLiteral("Halo Kak!");
        QTest::newRow("empty preview")
            << QStringLiteral(R"({"voice":"Ramah sekali.","preview_reply":""})") << true
            << QString();
        QTest::newRow("no preview") << QStringLiteral(R"({"voice":"Ramah sekali."})") << false
                                    << QStringLiteral("earlier reply");
    }

    void coachOnDevice()
    {
        QFETCH(QString, answer);
        QFETCH(bool, replaces);
        QFETCH(QString, reply);
        VoridIzid workspace;
        workspace.setApiBase(serviceUrl(*m_service));
        awaitTask(workspace.loadAsync());
        m_model->setAnswer(QStringLiteral("earlier reply"));
        awaitTask(workspace.previewAsync());
        QCOMPARE(workspace.previewReply(), QStringLiteral("earlier reply"));

        m_model->setAnswer(answer);
        workspace.setInstruction(QStringLiteral("  lebih ramah  "));
        QSignalSpy replyChanged(&workspace, &VoridIzid::previewReplyChanged);
        awaitTask(workspace.coachAsync());
        QCOMPARE(workspace.status(), QStringLiteral("Draft updated via apple-foundation"));
        QCOMPARE(workspace.sourceLabel(), QStringLiteral("Coach: apple-foundation"));
        QCOMPARE(workspace.pack()->modules.persona.voice, QStringLiteral("Ramah sekali."));
        QCOMPARE(workspace.pack()->provenance->coachInstruction.value_or(QString()),
            QStringLiteral("  lebih ramah  "));
        QCOMPARE(workspace.previewReply(), reply);
        QCOMPARE(replyChanged.count(), replaces ? 1 : 0);
        QCOMPARE(workspace.busy(), false);
    }

    void coachFallsBackToTheServiceWhenTheModelIsAbsent()
    {
        ScriptedModelServer serviceModel;
        serviceModel.setAnswer(QString::fromUtf8(kCoachAnswer));
        PackServiceProcess::Options options;
        options.modelUrl = serviceModel.baseUrl().toString();
        options.model = serviceModel.modelName();
        PackServiceProcess service(options);
        QVERIFY2(service.start(), qPrintable(service.output()));

        VoridIzid workspace;
        workspace.setApiBase(serviceUrl(service));
        awaitTask(workspace.loadAsync());
        awaitTask(workspace.previewAsync());
        const QString earlierReply = workspace.previewReply();

        m_model->setAbsent();
        awaitTask(workspace.coachAsync());
        QCOMPARE(workspace.status(), QStringLiteral("Draft updated via mlx"));
        QCOMPARE(workspace.sourceLabel(), QStringLiteral("Coach: mlx"));
        QCOMPARE(workspace.previewReply(), earlierReply);
        QCOMPARE(workspace.pack()->modules.persona.voice, QStringLiteral("Ramah sekali."));
        QCOMPARE(serviceModel.chatRequests().size(), 1);
        QCOMPARE(workspace.busy(), false);
    }

    void failedOperationChangesOnlyTheStatus_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("onDevice"); // the on-device run fails, else the service
        QTest::addColumn<QString>("error");
        const QString down = QStringLiteral("API 500: down");
        const QString model = QStringLiteral("The local model server answered 500: out of memory");
        for (const char *operation : {"load", "coach", "preview", "publish", "rollback"})
            QTest::addRow("%s, service", operation)
                << QString::fromLatin1(operation) << false << down;
        QTest::newRow("coach, on-device") << QStringLiteral("coach") << true << model;
        QTest::newRow("preview, on-device") << QStringLiteral("preview") << true << model;
    }

    // Every operation raises busy before anything else, keeps the previous
    // status while it runs, and on failure writes its error and nothing else.
    void failedOperationChangesOnlyTheStatus()
    {
        QFETCH(QString, operation);
        QFETCH(bool, onDevice);
        QFETCH(QString, error);
        StandIn service;
        VoridIzid workspace;
        workspace.setApiBase(service.url());
        awaitTask(workspace.loadAsync());
        m_model->setAnswer(QStringLiteral("earlier reply"));
        awaitTask(workspace.previewAsync());
        workspace.setVoice(QStringLiteral("unsaved"));
        const CapabilityPack draft = *workspace.pack();
        const QString reply = workspace.previewReply();
        const QString label = workspace.sourceLabel();
        const QString status = workspace.status();
        QVERIFY(!reply.isEmpty() && !label.isEmpty());

        ScriptedHttpServer failing;
        QVERIFY(failing.listen());
        failing.setHandler([](const ScriptedRequest &) {
            return ScriptedResponse::text(500, "down").withDelay(100ms);
        });
        if (onDevice)
            m_model->setChatResponse(
                ScriptedResponse::json(500, R"({"error":{"code":500,"message":"out of memory"}})"));
        else
            m_model->setAbsent();
        workspace.setApiBase(failing.url().toString());

        Trace trace(workspace);
        const QHash<QString, void (VoridIzid::*)()> start {
            {QStringLiteral("load"), &VoridIzid::load},
            {QStringLiteral("coach"), &VoridIzid::coach},
            {QStringLiteral("preview"), &VoridIzid::preview},
            {QStringLiteral("publish"), &VoridIzid::publish},
            {QStringLiteral("rollback"), &VoridIzid::rollback}};
        (workspace.*start.value(operation))();
        QVERIFY(workspace.busy());
        QCOMPARE(trace.events, QByteArrayList({"busy"}));
        QTRY_VERIFY(!workspace.busy());
        QCOMPARE(trace.events, QByteArrayList({"busy", "status", "idle"}));
        QVERIFY(workspace.status() != status);
        QCOMPARE(workspace.status(), error);
        QCOMPARE(*workspace.pack(), draft);
        QCOMPARE(workspace.previewReply(), reply);
        QCOMPARE(workspace.sourceLabel(), label);
        QCOMPARE(failing.requestCount(), onDevice ? 0 : 1);
    }

    void previewBothWays()
    {
        StandIn service;
        service.previewAnswer = R"({"reply":{"text":"Dari layanan."}})";
        VoridIzid workspace;
        workspace.setApiBase(service.url());
        awaitTask(workspace.loadAsync());
        workspace.setCta(QStringLiteral("unsaved cta"));
        const CapabilityPack draft = *workspace.pack();

        m_model->setAnswer(QStringLiteral("  Halo Kak!\n"));
        awaitTask(workspace.previewAsync());
        QCOMPARE(workspace.previewReply(), QStringLiteral("  Halo Kak!\n"));
        QCOMPARE(workspace.sourceLabel(), QStringLiteral("Preview: apple-foundation"));
        QCOMPARE(workspace.status(), QStringLiteral("Preview via apple-foundation"));

        m_model->setAbsent();
        awaitTask(workspace.previewAsync());
        QCOMPARE(workspace.previewReply(), QStringLiteral("Dari layanan."));
        QCOMPARE(workspace.sourceLabel(), QStringLiteral("Preview: mlx"));
        QCOMPARE(workspace.status(), QStringLiteral("Preview via mlx"));
        const QJsonObject sent = QJsonDocument::fromJson(service.http.lastRequest().body).object();
        QCOMPARE(sent.value(QStringLiteral("message")).toString(), workspace.previewMessage());
        QCOMPARE(sent.value(QStringLiteral("pack")).toObject(), draft.toJsonObject());

        service.previewAnswer = "{}";
        awaitTask(workspace.previewAsync());
        QCOMPARE(workspace.previewReply(), QString());
        QCOMPARE(workspace.status(), QStringLiteral("Preview via mlx"));
        QCOMPARE(*workspace.pack(), draft);
        QCOMPARE(workspace.busy(), false);
    }

    void publishAndRollbackTakeTheReturnedPack()
    {
        VoridIzid workspace;
        workspace.setApiBase(serviceUrl(*m_service));
        awaitTask(workspace.loadAsync());
        workspace.setVoice(QStringLiteral("published voice"));
        awaitTask(workspace.publishAsync());
        QCOMPARE(workspace.status(), QStringLiteral("Live Tavi now v2"));
        QCOMPARE(workspace.pack()->version, QStringLiteral("v2"));
        QCOMPARE(workspace.pack()->parentVersion.value_or(QString()), QStringLiteral("v1"));
        QCOMPARE(workspace.pack()->modules.persona.voice, QStringLiteral("published voice"));

        // Rollback before any load fills the draft with what the service returns.
        VoridIzid fresh;
        fresh.setApiBase(serviceUrl(*m_service));
        awaitTask(fresh.rollbackAsync());
        QCOMPARE(fresh.status(), QStringLiteral("Rolled back to v1"));
        QCOMPARE(*fresh.pack(), CapabilityPack::fromJson(seedBytes()));
    }

    void lastOperationToFinishHasTheLastWord()
    {
        StandIn slow(400ms);
        VoridIzid workspace;
        workspace.setApiBase(serviceUrl(*m_service));
        awaitTask(workspace.loadAsync());
        workspace.setApiBase(slow.url());
        workspace.load(); // slow
        m_model->setAnswer(QStringLiteral("quick"));
        awaitTask(workspace.previewAsync()); // finishes first and clears busy
        QCOMPARE(workspace.status(), QStringLiteral("Preview via apple-foundation"));
        QTRY_COMPARE(workspace.status(), QStringLiteral("Loaded v1"));
        QCOMPARE(workspace.busy(), false);
    }

    void destroyedWhileAwaitingTouchesNothing()
    {
        StandIn slow(200ms);
        auto workspace = std::make_unique<VoridIzid>();
        workspace->setApiBase(slow.url());
        awaitTask(workspace->loadAsync());
        workspace->load();
        workspace->publish();
        m_model->setHanging();
        workspace->preview();
        QVERIFY(slow.http.waitForRequests(3));
        workspace.reset();
        // The answers arrive after the workspace is gone; under AddressSanitizer a
        // write to it would abort here.
        QTest::qWait(600);
        m_model->setAbsent();
        QTest::qWait(100);
    }

private:
    std::unique_ptr<ScriptedModelServer> m_model;
    std::unique_ptr<PackServiceProcess> m_service;
};

QTEST_GUILESS_MAIN(WorkspaceTest)
#include "test_workspace.moc"
