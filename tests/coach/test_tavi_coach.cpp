#include "Await.h"
#include "LanguageModel.h"
#include "ScriptedModelServer.h"
#include "TaviCoach.h"

#include <QDateTime>
#include <QTest>

using namespace Qt::StringLiterals;
using OptionalText = std::optional<QString>;

Q_DECLARE_METATYPE(OptionalText)

namespace {

const QString instruction = u"Sound like a friendly local guide"_s;
const QString oldCta = u"Offer to check availability."_s;
const OptionalText oldConfirm = u"Shall I go ahead?"_s;

// Every member the coach touches set, and some it must leave alone.
CapabilityPack fullPack()
{
    CapabilityPack pack;
    pack.packId = u"tavi-core"_s;
    pack.version = u"2024.06.1"_s;
    pack.lockedInvariants = {u"no-prices"_s};
    pack.modules.persona
        = {u"Tavi"_s, u"travel assistant"_s, u"Warm and concise."_s, {u"id"_s, u"en"_s}, u"Kak"_s};
    pack.modules.replyRules
        = {u"Preamble."_s, {u"Never invent prices."_s}, oldCta, u"short"_s, 80, u"none"_s};
    pack.modules.guardrails = {oldConfirm, {}, {u"payments"_s}};
    pack.provenance = CapabilityPack::Provenance {
        u"someone"_s, u"mlx"_s, u"old instruction"_s, u"2024-01-01T00:00:00Z"_s};
    return pack;
}

std::optional<CoachOutcome> draft(const QString &instr, const CapabilityPack &pack)
{
    return awaitTask(TaviCoach::appleDraft(instr, pack));
}

QString content(const QJsonObject &body, int message)
{
    return body[u"messages"][message][u"content"].toString();
}

} // namespace

class TestTaviCoach : public QObject
{
    Q_OBJECT

private slots:
    void extractReadsOneStringMember_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<OptionalText>("voice");
        const OptionalText none;
        QTest::newRow("chatter around an object")
            << "Sure: {\"voice\": \"Bright\"} Hope it helps!" << OptionalText(u"Bright"_s);
        QTest::newRow("array around an object")
            << R"([{"voice":"Inside"}])" << OptionalText(u"Inside"_s);
        QTest::newRow("empty string is a value") << R"({"voice":""})" << OptionalText(u""_s);
        // The whole text is an object, so its verdict stands: no brace search inside it.
        QTest::newRow("number where a string belongs")
            << R"({"voice":5,"x":{"voice":"n"}})" << none;
        QTest::newRow("two objects in a row") << R"({"voice":"A"} {"voice":"B"})" << none;
        QTest::newRow("closing brace before opening") << "} and {" << none;
        QTest::newRow("other members hold numbers no parser represents")
            << R"({"n":[1e400,-1e400,123456789012345678901234567890],"voice":"Big"})"
            << OptionalText(u"Big"_s);
    }

    void extractReadsOneStringMember()
    {
        QFETCH(QString, answer);
        QFETCH(OptionalText, voice);
        QCOMPARE(TaviCoach::extract(u"voice", answer), voice);
    }

    void draftAppliesTheAnswer_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("voice");
        QTest::addColumn<QString>("cta");
        QTest::addColumn<OptionalText>("confirmCopy");
        QTest::addColumn<OptionalText>("preview");
        QTest::newRow("all four members")
            << R"({"voice":"Bright","cta":"Ask the date","confirm_copy":"Go?","preview_reply":"Hi!"})"
            << u"Bright"_s << u"Ask the date"_s << OptionalText(u"Go?"_s) << OptionalText(u"Hi!"_s);
        QTest::newRow("empty members")
            << R"({"voice":"","cta":"","confirm_copy":"","preview_reply":""})" << instruction
            << oldCta << oldConfirm << OptionalText(u""_s);
        // Non-empty means at least one character: blanks are taken as they are.
        QTest::newRow("blank members")
            << R"({"voice":"  ","cta":" \n","confirm_copy":"\t","preview_reply":" "})" << u"  "_s
            << u" \n"_s << OptionalText(u"\t"_s) << OptionalText(u" "_s);
        QTest::newRow("not JSON") << "I would make it friendlier." << instruction << oldCta
                                  << oldConfirm << OptionalText();
        QTest::newRow("blank answer")
            << " \n\t " << u"Warm and concise."_s << oldCta << oldConfirm << OptionalText();
    }

    void draftAppliesTheAnswer()
    {
        QFETCH(QString, answer);
        QFETCH(QString, voice);
        QFETCH(QString, cta);
        QFETCH(OptionalText, confirmCopy);
        QFETCH(OptionalText, preview);
        ScriptedModelServer server;
        server.makeDefault();
        server.setAnswer(answer);
        const QDateTime start = QDateTime::currentDateTimeUtc().addMSecs(-1000);
        const auto outcome = draft(instruction, fullPack());
        QVERIFY(outcome);
        QCOMPARE(outcome->source, CoachSource::appleFoundation);
        QCOMPARE(outcome->preview, preview);

        const QString at = outcome->pack.provenance.value_or(CapabilityPack::Provenance {})
                               .updatedAt.value_or(QString());
        // Whole seconds in UTC, written the ISO way, taken during the run.
        const QDateTime stamped = QDateTime::fromString(at, Qt::ISODate);
        QCOMPARE(stamped.toString(Qt::ISODate), at);
        QVERIFY2(
            at.endsWith(u'Z') && stamped >= start && stamped <= QDateTime::currentDateTimeUtc(),
            qPrintable(at));

        CapabilityPack expected = fullPack();
        expected.modules.persona.voice = voice;
        expected.modules.replyRules.cta = cta;
        expected.modules.guardrails.confirmCopy = confirmCopy;
        expected.provenance
            = CapabilityPack::Provenance {u"operator"_s, u"apple-foundation"_s, instruction, at};
        QCOMPARE(outcome->pack, expected);
    }

    void coachRunSendsExactMessages()
    {
        ScriptedModelServer server;
        server.makeDefault();
        CapabilityPack pack = fullPack();
        QVERIFY(draft(u" Be\nwarmer "_s, pack));
        pack.modules.guardrails.confirmCopy.reset();
        const auto outcome = draft(QString(), pack);
        QVERIFY(outcome && !outcome->pack.modules.guardrails.confirmCopy);

        const auto bodies = server.chatRequests();
        QCOMPARE(bodies.size(), 2);
        QCOMPARE(content(bodies[0], 0),
            u"You are Tavi's voice coach for Kelora operators (ZODE-016).\n"
            u"Return ONLY JSON with keys voice, cta, confirm_copy, preview_reply.\n"
            u"Never invent prices. Never suggest booking without confirmation."_s);
        QCOMPARE(content(bodies[0], 1),
            u"Operator instruction:  Be\nwarmer \n\nCurrent Tavi voice: Warm and concise.\n"
            u"Current CTA: Offer to check availability.\nCurrent confirm copy: Shall I go ahead?"_s);
        QCOMPARE(content(bodies[1], 1),
            u"Operator instruction: \n\nCurrent Tavi voice: Warm and concise.\n"
            u"Current CTA: Offer to check availability.\nCurrent confirm copy: "_s);

        // The four members asked for as strings, in the nested form.
        const QJsonObject properties
            = bodies[0][u"response_format"][u"json_schema"][u"schema"][u"properties"].toObject();
        QCOMPARE(properties.keys(), u"confirm_copy cta preview_reply voice"_s.split(u' '));
        for (const auto &member : properties)
            QCOMPARE(member[u"type"].toString(), u"string"_s);
    }

    void previewReturnsTheAnswerExactly()
    {
        ScriptedModelServer server;
        server.makeDefault();
        const std::pair<QString, QString> runs[]
            = {{u"  Is there a room?\n"_s, u"\n  Halo! Let me check.  \n"_s}, {u"hi"_s, u""_s}};
        for (const auto &[message, answer] : runs) {
            server.setAnswer(answer);
            QCOMPARE(awaitTask(TaviCoach::applePreview(message, fullPack())), OptionalText(answer));
            const QJsonObject body = server.chatRequests().last();
            QVERIFY(!body.contains(u"response_format"));
            QCOMPARE(content(body, 0), fullPack().taviInstructions(u"{}"_s));
            QCOMPARE(content(body, 1), message);
        }
        QCOMPARE(server.chatRequests().size(), 2);

        // Some servers send null for an empty completion: an empty answer, not a failure.
        server.setChatResponse(
            ScriptedResponse::json(200, R"({"choices":[{"message":{"content":null}}]})"));
        QCOMPARE(awaitTask(TaviCoach::applePreview(u"hi"_s, fullPack())), OptionalText(u""_s));
        const auto outcome = draft(instruction, fullPack());
        QVERIFY(outcome);
        QCOMPARE(outcome->pack.modules.persona.voice, fullPack().modules.persona.voice);

        // The server goes between probes: the runs must notice, not fail on a dead port.
        QVERIFY(SystemLanguageModel::defaultModel().isAvailable());
        server.setAbsent();
        QVERIFY(!draft(instruction, fullPack()));
        QVERIFY(!awaitTask(TaviCoach::applePreview(u"hi"_s, fullPack())));
        QVERIFY(!SystemLanguageModel::defaultModel().isAvailable());
        QCOMPARE(server.chatRequests().size(), 4);
    }
};

QTEST_GUILESS_MAIN(TestTaviCoach)
#include "test_tavi_coach.moc"
