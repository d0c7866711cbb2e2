#include "Await.h"
#include "LanguageModel.h"
#include "ScriptedModelServer.h"
#include "TaviCoach.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;
using OptionalText = std::optional<QString>;

Q_DECLARE_METATYPE(OptionalText)

namespace {

const QString instruction = QStringLiteral("Sound like a friendly local guide");

// Every member set, so that a member the coach should leave alone is seen to stay.
CapabilityPack fullPack()
{
    CapabilityPack pack;
    pack.packId = QStringLiteral("tavi-core");
    pack.version = QStringLiteral("2024.06.1");
    pack.status = QStringLiteral("live");
    pack.parentVersion = QStringLiteral("2024.05.9");
    pack.lockedInvariants = {QStringLiteral("no-prices")};
    auto &m = pack.modules;
    m.persona = {QStringLiteral("Tavi"), QStringLiteral("travel assistant"),
        QStringLiteral("Warm and concise."), {QStringLiteral("id"), QStringLiteral("en")},
        QStringLiteral("Kak")};
    m.nlu = {{QStringLiteral("book"), QStringLiteral("ask")}, QStringLiteral("intent+slots"),
        QList<CapabilityPack::NLUExample> {
            {QStringLiteral("a room?"), QStringLiteral("ask"), std::nullopt}}};
    m.replyRules = {QStringLiteral("Preamble."), {QStringLiteral("Never invent prices.")},
        QStringLiteral("Offer to check availability."), QStringLiteral("short"), 80,
        QStringLiteral("none")};
    m.fewShot = {QList<CapabilityPack::ExampleTurn> {
                     {QStringLiteral("hi"), QStringLiteral("Halo!"), QStringLiteral("warm")}},
        std::nullopt};
    m.guardrails = {QStringLiteral("Shall I go ahead?"),
        {{QStringLiteral("book"), QStringLiteral("confirm")}}, {QStringLiteral("payments")}};
    pack.provenance = CapabilityPack::Provenance {QStringLiteral("someone"), QStringLiteral("mlx"),
        QStringLiteral("old instruction"), QStringLiteral("2024-01-01T00:00:00Z")};
    return pack;
}

std::optional<CoachOutcome> draft(const QString &instr, const CapabilityPack &pack)
{
    return awaitTask(TaviCoach::appleDraft(instr, pack));
}

} // namespace

class TestTaviCoach : public QObject
{
    Q_OBJECT

private slots:
    void coachSourceRawValues();
    void extractReadsOneStringMember_data();
    void extractReadsOneStringMember();
    void draftAppliesTheAnswer_data();
    void draftAppliesTheAnswer();
    void coachRunSendsExactInstructionsAndPrompt_data();
    void coachRunSendsExactInstructionsAndPrompt();
    void staleAvailableIsNotTrusted();
    void modelFailureIsTheError();
    void previewSendsReplyInstructionsAndReturnsAnswerExactly_data();
    void previewSendsReplyInstructionsAndReturnsAnswerExactly();
};

void TestTaviCoach::coachSourceRawValues()
{
    QCOMPARE(rawValue(CoachSource::appleFoundation), QStringLiteral("apple-foundation"));
    QCOMPARE(rawValue(CoachSource::mlx), QStringLiteral("mlx"));
    for (auto source : {CoachSource::appleFoundation, CoachSource::mlx})
        QCOMPARE(coachSourceFromRawValue(rawValue(source)), source);
    for (const char *raw : {"", "MLX", "apple_foundation", " mlx", "appleFoundation"})
        QVERIFY(!coachSourceFromRawValue(QString::fromLatin1(raw)).has_value());
}

void TestTaviCoach::extractReadsOneStringMember_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<OptionalText>("voice");
    const auto row = [](const char *name, const char *answer, OptionalText voice) {
        QTest::newRow(name) << QString::fromUtf8(answer) << voice;
    };
    const OptionalText none;
    row("whole object", R"({"cta":"Ask","voice":"Calm"})", QStringLiteral("Calm"));
    row("escapes decoded", R"({"voice":"a\"b\u00e9\n}"})", QStringLiteral("a\"b\u00e9\n}"));
    row("missing member", R"({"cta":"Ask"})", none);
    row("null member", R"({"voice":null})", none);
    row("empty string is a value", R"({"voice":""})", QString());
    // The whole text is an object, so its verdict stands: no brace search inside it.
    row("number where a string belongs", R"({"voice":5,"x":{"voice":"n"}})", none);
    row("chatter around an object", "Sure, here you go: {\"voice\": \"Bright\"} Hope it helps!",
        QStringLiteral("Bright"));
    row("array around an object", R"([{"voice":"Inside"}])", QStringLiteral("Inside"));
    row("two objects in a row", R"({"voice":"A"} {"voice":"B"})", none);
    row("closing brace before opening", "} and {", none);
    row("empty answer", "", none);
    // Valid JSON but not an object; its raw text holds escaped quotes, so no object either.
    row("object inside a JSON string", R"("{\"voice\":\"x\"}")", none);
}

void TestTaviCoach::extractReadsOneStringMember()
{
    QFETCH(QString, answer);
    QFETCH(OptionalText, voice);
    QCOMPARE(TaviCoach::extract(u"voice", answer), voice);
}

void TestTaviCoach::draftAppliesTheAnswer_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("voice");
    QTest::addColumn<QString>("cta");
    QTest::addColumn<OptionalText>("confirmCopy");
    QTest::addColumn<OptionalText>("preview");

    const QString oldVoice = QStringLiteral("Warm and concise.");
    const QString oldCta = QStringLiteral("Offer to check availability.");
    const OptionalText oldConfirm = QStringLiteral("Shall I go ahead?");
    const OptionalText none;

    const auto row = [](const char *name, const char *answer, const QString &voice,
                         const QString &cta, OptionalText confirm, OptionalText preview) {
        QTest::newRow(name) << QString::fromUtf8(answer) << voice << cta << confirm << preview;
    };
    row("all four members",
        R"({"voice":"Bright","cta":"Ask the date","confirm_copy":"Go?","preview_reply":"Hi!"})",
        QStringLiteral("Bright"), QStringLiteral("Ask the date"), QStringLiteral("Go?"),
        QStringLiteral("Hi!"));
    row("chatter around the object", "Sure: {\"voice\":\"Bright\"} Enjoy.",
        QStringLiteral("Bright"), oldCta, oldConfirm, none);
    row("number voice makes the instruction the voice", R"({"voice":7,"cta":"New CTA"})",
        instruction, QStringLiteral("New CTA"), oldConfirm, none);
    row("empty members", R"({"voice":"","cta":"","confirm_copy":"","preview_reply":""})",
        instruction, oldCta, oldConfirm, QString());
    row("blank voice taken verbatim", R"({"voice":"   "})", QStringLiteral("   "), oldCta,
        oldConfirm, none);
    row("two objects in a row", R"({"voice":"A"}{"cta":"B"})", instruction, oldCta, oldConfirm,
        none);
    row("not JSON", "I would make it friendlier.", instruction, oldCta, oldConfirm, none);
    row("blank answer", " \n\t ", oldVoice, oldCta, oldConfirm, none);
}

void TestTaviCoach::draftAppliesTheAnswer()
{
    QFETCH(QString, answer);
    QFETCH(QString, voice);
    QFETCH(QString, cta);
    QFETCH(OptionalText, confirmCopy);
    QFETCH(OptionalText, preview);

    ScriptedModelServer server;
    server.makeDefault();
    server.setAnswer(answer);
    const CapabilityPack before = fullPack();
    const QDateTime start = QDateTime::currentDateTimeUtc().addMSecs(-1000);
    const auto outcome = draft(instruction, before);
    const QDateTime end = QDateTime::currentDateTimeUtc();
    QVERIFY(outcome.has_value());
    QCOMPARE(outcome->source, CoachSource::appleFoundation);
    QCOMPARE(outcome->preview, preview);

    const auto &pack = outcome->pack;
    QCOMPARE(pack.modules.persona.voice, voice);
    QCOMPARE(pack.modules.replyRules.cta, cta);
    QCOMPARE(pack.modules.guardrails.confirmCopy, confirmCopy);

    QVERIFY(pack.provenance.has_value());
    const auto &stamp = *pack.provenance;
    QCOMPARE(stamp.author, OptionalText(QStringLiteral("operator")));
    QCOMPARE(stamp.coachModel, OptionalText(QStringLiteral("apple-foundation")));
    QCOMPARE(stamp.coachInstruction, OptionalText(instruction));
    QVERIFY(stamp.updatedAt.has_value());
    static const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$"));
    QVERIFY2(iso.match(*stamp.updatedAt).hasMatch(), qPrintable(*stamp.updatedAt));
    const QDateTime stamped = QDateTime::fromString(*stamp.updatedAt, Qt::ISODate);
    QVERIFY(stamped >= start && stamped <= end);

    // Everything else is the input pack as it was.
    CapabilityPack expected = before;
    expected.modules.persona.voice = voice;
    expected.modules.replyRules.cta = cta;
    expected.modules.guardrails.confirmCopy = confirmCopy;
    expected.provenance = pack.provenance;
    QVERIFY(pack == expected);
}

void TestTaviCoach::coachRunSendsExactInstructionsAndPrompt_data()
{
    QTest::addColumn<bool>("withConfirmCopy");
    QTest::addColumn<QString>("instruction");
    QTest::addColumn<QString>("prompt");

    QTest::newRow("full pack")
        << true << " Be\nwarmer "
        << "Operator instruction:  Be\nwarmer \n\nCurrent Tavi voice: Warm and concise.\n"
           "Current CTA: Offer to check availability.\nCurrent confirm copy: Shall I go ahead?";
    QTest::newRow("no confirm copy")
        << false << ""
        << "Operator instruction: \n\nCurrent Tavi voice: Warm and concise.\n"
           "Current CTA: Offer to check availability.\nCurrent confirm copy: ";
}

void TestTaviCoach::coachRunSendsExactInstructionsAndPrompt()
{
    QFETCH(bool, withConfirmCopy);
    QFETCH(QString, instruction);
    QFETCH(QString, prompt);

    ScriptedModelServer server;
    server.makeDefault();
    CapabilityPack pack = fullPack();
    if (!withConfirmCopy)
        pack.modules.guardrails.confirmCopy.reset();
    const auto outcome = draft(instruction, pack);
    QVERIFY(outcome.has_value());
    if (!withConfirmCopy)
        QVERIFY(!outcome->pack.modules.guardrails.confirmCopy.has_value());

    const auto bodies = server.chatRequests();
    QCOMPARE(bodies.size(), 1);
    const QJsonArray messages = bodies.first().value(QStringLiteral("messages")).toArray();
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages[0].toObject().value(QStringLiteral("role")).toString(), u"system");
    QCOMPARE(messages[1].toObject().value(QStringLiteral("role")).toString(), u"user");
    QCOMPARE(messages[0].toObject().value(QStringLiteral("content")).toString(),
        QStringLiteral("You are Tavi's voice coach for Kelora operators (ZODE-016).\n"
                       "Return ONLY JSON with keys voice, cta, confirm_copy, preview_reply.\n"
                       "Never invent prices. Never suggest booking without confirmation."));
    QCOMPARE(messages[1].toObject().value(QStringLiteral("content")).toString(), prompt);

    // The coach asks for the four members as strings, in the nested form.
    const QJsonObject schema = bodies.first()
                                   .value(QStringLiteral("response_format"))
                                   .toObject()
                                   .value(QStringLiteral("json_schema"))
                                   .toObject()
                                   .value(QStringLiteral("schema"))
                                   .toObject();
    const QJsonObject properties = schema.value(QStringLiteral("properties")).toObject();
    QCOMPARE(properties.keys(),
        (QStringList {QStringLiteral("confirm_copy"), QStringLiteral("cta"),
            QStringLiteral("preview_reply"), QStringLiteral("voice")}));
    for (const auto &member : properties)
        QCOMPARE(
            member.toObject().value(QStringLiteral("type")).toString(), QStringLiteral("string"));
}

void TestTaviCoach::staleAvailableIsNotTrusted()
{
    ScriptedModelServer server;
    server.makeDefault();
    QVERIFY(SystemLanguageModel::defaultModel().isAvailable());
    // The server goes between probes: the runs must notice, not fail on a dead port.
    server.setAbsent();
    QVERIFY(!draft(QString(), fullPack()).has_value());
    QVERIFY(!awaitTask(TaviCoach::applePreview(QStringLiteral("hi"), fullPack())).has_value());
    QVERIFY(!SystemLanguageModel::defaultModel().isAvailable());
    QCOMPARE(server.chatRequests().size(), 0);
}

void TestTaviCoach::modelFailureIsTheError()
{
    ScriptedModelServer server;
    server.makeDefault();
    server.setChatResponse(
        ScriptedResponse::json(500, R"({"error":{"code":500,"message":"out of memory"}})"));
    const QString error = QStringLiteral("The local model server answered 500: out of memory");
    QCOMPARE(awaitError(TaviCoach::appleDraft(instruction, fullPack())), error);
    QCOMPARE(awaitError(TaviCoach::applePreview(QStringLiteral("hi"), fullPack())), error);
    QCOMPARE(server.chatRequests().size(), 2);
}

void TestTaviCoach::previewSendsReplyInstructionsAndReturnsAnswerExactly_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("answer");
    QTest::newRow("blanks kept") << "  Is there a room?\n"
                                 << "\n  Halo! Let me check.  \n";
    QTest::newRow("empty answer") << "hi"
                                  << "";
}

void TestTaviCoach::previewSendsReplyInstructionsAndReturnsAnswerExactly()
{
    QFETCH(QString, message);
    QFETCH(QString, answer);

    ScriptedModelServer server;
    server.makeDefault();
    server.setAnswer(answer);
    const CapabilityPack pack = fullPack();
    const auto reply = awaitTask(TaviCoach::applePreview(message, pack));
    QCOMPARE(reply, OptionalText(answer));

    const auto bodies = server.chatRequests();
    QCOMPARE(bodies.size(), 1);
    QVERIFY(!bodies.first().contains(QStringLiteral("response_format")));
    const QJsonArray messages = bodies.first().value(QStringLiteral("messages")).toArray();
    QCOMPARE(messages[0].toObject().value(QStringLiteral("content")).toString(),
        QStringLiteral("Preamble.\nVoice: Warm and concise.\nRules (hard):\n- Never invent "
                       "prices.\n- Offer to check availability.\nGrounded facts JSON (do not "
                       "invent missing fields):\n{}\nWrite Tavi's reply now (no preamble)."));
    QCOMPARE(messages[1].toObject().value(QStringLiteral("content")).toString(), message);
}

QTEST_GUILESS_MAIN(TestTaviCoach)
#include "test_tavi_coach.moc"
