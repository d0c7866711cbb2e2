// The workspace end to end: real HTTP to the reference pack service and to a
// scripted local model server; no window.

#include "Await.h"
#include "LanguageModel.h"
#include "PackServiceProcess.h"
#include "ScriptedHttpServer.h"
#include "ScriptedModelServer.h"
#include "StartupGate.h"
#include "VoridIzid.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kCoachAnswer
    = R"({"voice":"Ramah sekali.","cta":"Mau saya cek jadwalnya?","confirm_copy":"Yakin, Kak?","preview_reply":"Halo Kak!"})";

CapabilityPack seed()
{
    QFile file(PackServiceProcess::defaultSeedPath());
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the seed pack");
    return CapabilityPack::fromJson(file.readAll());
}

// Records, in order, every change an operation makes that a window would show:
// "busy" and "idle" for the flag, and the names of the other fields.
struct Trace
{
    explicit Trace(VoridIzid &w)
    {
        QObject::connect(&w, &VoridIzid::busyChanged, &w,
            [this, &w] { events.append(w.busy() ? "busy" : "idle"); });
        const auto record = [&](auto signal, const char *name) {
            QObject::connect(&w, signal, &w, [this, name] { events.append(name); });
        };
        record(&VoridIzid::packChanged, "pack");
        record(&VoridIzid::previewReplyChanged, "reply");
        record(&VoridIzid::sourceLabelChanged, "label");
        record(&VoridIzid::statusChanged, "status");
    }
    QByteArrayList events;
};

// A stand-in service that answers every request with the seed pack after
// `delay`, and preview requests with `previewAnswer`.
struct StandIn
{
    explicit StandIn(std::chrono::milliseconds delay = 0ms)
    {
        if (!http.listen())
            qFatal("cannot listen");
        const QByteArray answer = "{\"pack\":" + seed().toJson() + "}";
        http.setHandler([this, answer, delay](const ScriptedRequest &request) {
            return ScriptedResponse::json(
                200, request.target.endsWith("/preview") ? previewAnswer : answer)
                .withDelay(delay);
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

    QString base() const { return m_service->baseUrl().toString(); }

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

    // With a large pack: its answers are decoded, and its bodies written, on a
    // worker thread, and must travel whole.
    void loadPublishAndRollbackTakeTheReturnedPack()
    {
        CapabilityPack large = seed();
        large.modules.nlu.examples.emplace();
        for (int i = 0; i < 3000; ++i)
            large.modules.nlu.examples->append(
                {u"Cari hotel di Ubud untuk %1 malam"_s.arg(i), u"hotel_search"_s, std::nullopt});
        QTemporaryDir dir;
        QFile file(dir.filePath(u"large.json"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(large.toJson()) > 64 * 1024);
        file.close();
        PackServiceProcess::Options options;
        options.seed = file.fileName();
        PackServiceProcess service(options);
        QVERIFY2(service.start(), qPrintable(service.output()));

        VoridIzid workspace;
        workspace.setApiBase(service.baseUrl().toString());
        Trace trace(workspace);
        awaitTask(workspace.loadAsync());
        QCOMPARE(workspace.status(), u"Loaded v1"_s);
        QCOMPARE(*workspace.pack(), large);
        QCOMPARE(trace.events, QByteArrayList({"busy", "pack", "status", "idle"}));

        // Edits, then a reload: the live pack wins, the labels stay.
        workspace.setVoice(u"edited voice"_s);
        workspace.setCta(u"edited cta"_s);
        awaitTask(workspace.previewAsync()); // fills the labels
        const QString reply = workspace.previewReply();
        const QString label = workspace.sourceLabel();
        awaitTask(workspace.loadAsync());
        QCOMPARE(*workspace.pack(), large);
        QCOMPARE(workspace.previewReply(), reply);
        QCOMPARE(workspace.sourceLabel(), label);

        workspace.setVoice(u"published voice"_s);
        awaitTask(workspace.publishAsync());
        QCOMPARE(workspace.status(), u"Live Tavi now v2"_s);
        QCOMPARE(workspace.pack()->parentVersion.value_or(QString()), u"v1"_s);
        QCOMPARE(workspace.pack()->modules.persona.voice, u"published voice"_s);
        QCOMPARE(workspace.pack()->modules.nlu.examples, large.modules.nlu.examples);
        QCOMPARE(workspace.busy(), false);

        // Without a draft, coach, preview and publish do nothing at all; rollback
        // fills the draft with what the service returns.
        VoridIzid fresh;
        fresh.setApiBase(service.baseUrl().toString());
        Trace nothing(fresh);
        awaitTask(fresh.coachAsync());
        awaitTask(fresh.previewAsync());
        awaitTask(fresh.publishAsync());
        QCOMPARE(nothing.events, QByteArrayList());
        QCOMPARE(m_model->chatRequests().size(), 1);
        awaitTask(fresh.rollbackAsync());
        QCOMPARE(fresh.status(), u"Rolled back to v1"_s);
        QCOMPARE(*fresh.pack(), large);
    }

    void emptiedOrChangedBaseTakesEffectOnTheNextOperation()
    {
        qputenv("TAVI_API_BASE", base().toUtf8());
        VoridIzid workspace;
        workspace.setApiBase(QString());
        awaitTask(workspace.loadAsync());
        QCOMPARE(workspace.status(), u"Loaded v1"_s);
        QCOMPARE(workspace.apiBase(), QString()); // the field keeps what was typed

        // A slow service answers the load already under way, although the base
        // changes to a dead address meanwhile.
        StandIn slow(300ms);
        workspace.setApiBase(slow.url());
        workspace.load();
        QVERIFY(slow.http.waitForRequests(1));
        workspace.setApiBase(u"http://127.0.0.1:1"_s);
        QTRY_VERIFY(!workspace.busy());
        QCOMPARE(workspace.status(), u"Loaded v1"_s);
        awaitTask(workspace.loadAsync());
        QVERIFY(workspace.status() != u"Loaded v1"_s);
        QCOMPARE(slow.http.requestCount(), 1);
    }

    // The appearance load starts as the window is shown, with the fields as they
    // are then, and asks once the window has drawn its first frame.
    void loadAsksAfterTheFirstFrame()
    {
        StandIn standIn;
        VoridIzid workspace;
        workspace.setApiBase(standIn.url());
        StartupGate::hold();
        workspace.load();
        QVERIFY(workspace.busy());
        workspace.setApiBase(u"http://127.0.0.1:1"_s);
        auto gone = std::make_unique<VoridIzid>();
        gone->setApiBase(standIn.url());
        gone->load();
        gone.reset();
        QTest::qWait(100);
        QCOMPARE(standIn.http.requestCount(), 0);
        StartupGate::release();
        QTRY_VERIFY(!workspace.busy());
        QCOMPARE(workspace.status(), u"Loaded "_s + seed().version);
        QCOMPARE(standIn.http.requestCount(), 1); // none for the workspace that is gone
    }

    void coachOnDevice_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("reply"); // null: the earlier reply stays, unsignalled
        QTest::newRow("with preview") << QString::fromUtf8(kCoachAnswer) << u"Halo Kak!"_s;
        QTest::newRow("empty preview")
            << R"({"voice":"Ramah sekali.","preview_reply":""})" << u""_s;
        QTest::newRow("no preview") << R"({"voice":"Ramah sekali."})" << QString();
    }

    void coachOnDevice()
    {
        QFETCH(QString, answer);
        QFETCH(QString, reply);
        VoridIzid workspace;
        workspace.setApiBase(base());
        awaitTask(workspace.loadAsync());
        m_model->setAnswer(u"earlier reply"_s);
        awaitTask(workspace.previewAsync());

        m_model->setAnswer(answer);
        workspace.setInstruction(u"  lebih ramah  "_s);
        QSignalSpy replyChanged(&workspace, &VoridIzid::previewReplyChanged);
        awaitTask(workspace.coachAsync());
        QCOMPARE(workspace.status(), u"Draft updated via apple-foundation"_s);
        QCOMPARE(workspace.sourceLabel(), u"Coach: apple-foundation"_s);
        QCOMPARE(workspace.pack()->modules.persona.voice, u"Ramah sekali."_s);
        QCOMPARE(workspace.pack()->provenance->coachInstruction.value_or(QString()),
            u"  lebih ramah  "_s);
        QCOMPARE(workspace.previewReply(), reply.isNull() ? u"earlier reply"_s : reply);
        QCOMPARE(replyChanged.count(), reply.isNull() ? 0 : 1);
        QCOMPARE(workspace.busy(), false);
    }

    void failedOperationChangesOnlyTheStatus_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("onDevice"); // the on-device run fails, else the service
        for (const char *operation : {"load", "coach", "preview", "publish", "rollback"})
            QTest::addRow("%s, service", operation) << QString::fromLatin1(operation) << false;
        QTest::newRow("coach, on-device") << u"coach"_s << true;
        QTest::newRow("preview, on-device") << u"preview"_s << true;
    }

    // Every operation raises busy before anything else, keeps the previous
    // status while it runs, and on failure writes its error and nothing else.
    void failedOperationChangesOnlyTheStatus()
    {
        QFETCH(QString, operation);
        QFETCH(bool, onDevice);
        StandIn service;
        VoridIzid workspace;
        workspace.setApiBase(service.url());
        awaitTask(workspace.loadAsync());
        m_model->setAnswer(u"earlier reply"_s);
        awaitTask(workspace.previewAsync());
        workspace.setVoice(u"unsaved"_s);
        const CapabilityPack draft = *workspace.pack();
        const QString reply = workspace.previewReply();
        const QString label = workspace.sourceLabel();
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
        const QHash<QString, void (VoridIzid::*)()> start {{u"load"_s, &VoridIzid::load},
            {u"coach"_s, &VoridIzid::coach}, {u"preview"_s, &VoridIzid::preview},
            {u"publish"_s, &VoridIzid::publish}, {u"rollback"_s, &VoridIzid::rollback}};
        (workspace.*start.value(operation))();
        QCOMPARE(trace.events, QByteArrayList({"busy"}));
        QTRY_VERIFY(!workspace.busy());
        QCOMPARE(trace.events, QByteArrayList({"busy", "status", "idle"}));
        QCOMPARE(workspace.status(),
            onDevice ? u"The local model server answered 500: out of memory"_s
                     : u"API 500: down"_s);
        QCOMPARE(*workspace.pack(), draft);
        QCOMPARE(workspace.previewReply(), reply);
        QCOMPARE(workspace.sourceLabel(), label);
        QCOMPARE(failing.requestCount(), onDevice ? 0 : 1);
    }

    // On-device first, then the service; the draft is sent as it stands.
    void previewAndCoachBothWays()
    {
        StandIn service;
        service.previewAnswer = R"({"reply":{"text":"Dari layanan."}})";
        VoridIzid workspace;
        workspace.setApiBase(service.url());
        awaitTask(workspace.loadAsync());
        workspace.setCta(u"unsaved cta"_s);
        const CapabilityPack draft = *workspace.pack();
        m_model->setAnswer(u"  Halo Kak!\n"_s);
        awaitTask(workspace.previewAsync());
        QCOMPARE(workspace.previewReply(), u"  Halo Kak!\n"_s);
        QCOMPARE(workspace.sourceLabel(), u"Preview: apple-foundation"_s);

        m_model->setAbsent();
        awaitTask(workspace.previewAsync());
        QCOMPARE(workspace.previewReply(), u"Dari layanan."_s);
        QCOMPARE(workspace.sourceLabel(), u"Preview: mlx"_s);
        QCOMPARE(workspace.status(), u"Preview via mlx"_s);
        const QJsonObject sent = QJsonDocument::fromJson(service.http.lastRequest().body).object();
        QCOMPARE(sent[u"message"].toString(), workspace.previewMessage());
        QCOMPARE(sent[u"pack"].toObject(), draft.toJsonObject());
        service.previewAnswer = "{}";
        awaitTask(workspace.previewAsync());
        QCOMPARE(workspace.previewReply(), QString());
        QCOMPARE(*workspace.pack(), draft);

        // The service's coach brings no preview: the earlier reply stays.
        service.previewAnswer = R"({"reply":{"text":"Dari layanan."}})";
        awaitTask(workspace.previewAsync());
        awaitTask(workspace.coachAsync());
        QCOMPARE(workspace.status(), u"Draft updated via mlx"_s);
        QCOMPARE(workspace.sourceLabel(), u"Coach: mlx"_s);
        QCOMPARE(workspace.previewReply(), u"Dari layanan."_s);
        QCOMPARE(*workspace.pack(), seed());
        QCOMPARE(workspace.busy(), false);
    }

    void lastOperationToFinishHasTheLastWord()
    {
        StandIn slow(400ms);
        VoridIzid workspace;
        workspace.setApiBase(base());
        awaitTask(workspace.loadAsync());
        workspace.setApiBase(slow.url());
        workspace.load(); // slow
        m_model->setAnswer(u"quick"_s);
        awaitTask(workspace.previewAsync()); // finishes first and clears busy
        QCOMPARE(workspace.status(), u"Preview via apple-foundation"_s);
        QTRY_COMPARE(workspace.status(), u"Loaded v1"_s);
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
