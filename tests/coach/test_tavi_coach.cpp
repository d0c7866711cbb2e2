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
    void coachStillWorksWhenSchemaIsRefused();
    void unavailableYieldsNothing_data();
    void unavailableYieldsNothing();
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
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<OptionalText>("expected");

    const OptionalText none;
    QTest::newRow("whole object") << "voice"
                                  << R"({"voice":"Calm","cta":"Ask"})"
                                  << OptionalText(QStringLiteral("Calm"));
    QTest::newRow("escapes decoded")
        << "voice"
        << R"({"voice":"a\"b\u00e9\n}"})" << OptionalText(QStringLiteral("a\"b\u00e9\n}"));
    QTest::newRow("missing member") << "cta"
                                    << R"({"voice":"Calm"})" << none;
    QTest::newRow("null member") << "cta"
                                 << R"({"cta":null})" << none;
    QTest::newRow("empty string kept") << "cta"
                                       << R"({"cta":""})" << OptionalText(QString());
    // The whole text is an object, so its verdict stands: no brace search inside it.
    QTest::newRow("number where a string belongs") << "voice"
                                                   << R"({"voice":5,"x":{"voice":"n"}})" << none;
    QTest::newRow("object where a string belongs") << "voice"
                                                   << R"({"voice":{"voice":"n"}})" << none;
    QTest::newRow("chatter around an object")
        << "voice"
        << "Sure, here you go: {\"voice\": \"Bright\"} Hope that helps!"
        << OptionalText(QStringLiteral("Bright"));
    QTest::newRow("fenced block") << "cta"
                                  << "```json\n{\"cta\":\"Book?\"}\n```"
                                  << OptionalText(QStringLiteral("Book?"));
    QTest::newRow("array around an object")
        << "voice"
        << R"([{"voice":"Inside"}])" << OptionalText(QStringLiteral("Inside"));
    QTest::newRow("two objects in a row") << "voice"
                                          << R"({"voice":"A"} {"voice":"B"})" << none;
    QTest::newRow("closing before opening") << "voice"
                                            << "} and {" << none;
    QTest::newRow("no braces") << "voice"
                               << "just words" << none;
    QTest::newRow("empty answer") << "voice"
                                  << "" << none;
    // A JSON string is valid JSON but not an object; its raw text holds escaped quotes.
    QTest::newRow("object inside a JSON string") << "voice"
                                                 << R"("{\"voice\":\"x\"}")" << none;
    QTest::newRow("nested member not taken") << "voice"
                                             << R"(ok {"a":{"voice":"deep"}})" << none;
    QTest::newRow("surrounding blanks")
        << "voice"
        << " \n{\"voice\":\"x\"}\n " << OptionalText(QStringLiteral("x"));
}

void TestTaviCoach::extractReadsOneStringMember()
{
    QFETCH(QString, key);
    QFETCH(QString, answer);
    QFETCH(OptionalText, expected);
    QCOMPARE(TaviCoach::extract(key, answer), expected);
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

    QTest::newRow("all four members")
        << R"({"voice":"Bright","cta":"Ask the date","confirm_copy":"Go?","preview_reply":"Hi!"})"
        << "Bright"
        << "Ask the date" << OptionalText(QStringLiteral("Go?"))
        << OptionalText(QStringLiteral("Hi!"));
    QTest::newRow("chatter around the object") << "Sure, here you go: {\"voice\":\"Bright\"} Enjoy."
                                               << "Bright" << oldCta << oldConfirm << none;
    QTest::newRow("number voice makes the instruction the voice")
        << R"({"voice":7,"cta":"New CTA"})" << instruction << "New CTA" << oldConfirm << none;
    QTest::newRow("empty members")
        << R"({"voice":"","cta":"","confirm_copy":"","preview_reply":""})" << instruction << oldCta
        << oldConfirm << OptionalText(QString());
    QTest::newRow("blank voice taken verbatim") << R"({"voice":"   "})"
                                                << "   " << oldCta << oldConfirm << none;
    QTest::newRow("two objects in a row")
        << R"({"voice":"A"}{"cta":"B"})" << instruction << oldCta << oldConfirm << none;
    QTest::newRow("not JSON") << "I would make it friendlier." << instruction << oldCta
                              << oldConfirm << none;
    QTest::newRow("blank answer") << " \n\t " << oldVoice << oldCta << oldConfirm << none;
    QTest::newRow("empty answer") << "" << oldVoice << oldCta << oldConfirm << none;
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

void TestTaviCoach::coachStillWorksWhenSchemaIsRefused()
{
    ScriptedModelServer server;
    server.makeDefault();
    server.setRejectsResponseFormat(true);
    server.setAnswer(QStringLiteral("Here: {\"voice\":\"Plain\"}"));
    const auto outcome = draft(instruction, fullPack());
    QVERIFY(outcome.has_value());
    QCOMPARE(outcome->pack.modules.persona.voice, QStringLiteral("Plain"));
    QCOMPARE(server.chatRequests().size(), 2);
}

void TestTaviCoach::unavailableYieldsNothing_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("no server") << "absent";
    QTest::newRow("loading") << "loading";
    QTest::newRow("turned off") << "off";
    QTest::newRow("model not pulled") << "others";
}

void TestTaviCoach::unavailableYieldsNothing()
{
    QFETCH(QString, setup);

    ScriptedModelServer server;
    auto &model = SystemLanguageModel::defaultModel();
    model.configure(server.baseUrl(), server.modelName(), setup != QLatin1String("off"));
    if (setup == QLatin1String("absent"))
        server.setAbsent();
    else if (setup == QLatin1String("loading"))
        server.setLoading();
    else if (setup == QLatin1String("others"))
        server.setListedModels({QStringLiteral("other-model")});

    QVERIFY(!draft(QString(), fullPack()).has_value());
    QVERIFY(!awaitTask(TaviCoach::applePreview(QStringLiteral("hi"), fullPack())).has_value());
    QCOMPARE(server.chatRequests().size(), 0);
}

void TestTaviCoach::staleAvailableIsNotTrusted()
{
    ScriptedModelServer server;
    server.makeDefault();
    QVERIFY(SystemLanguageModel::defaultModel().isAvailable());
    // The server goes between probes: the runs must notice, not fail on a dead port.
    server.setAbsent();
    QVERIFY(!draft(instruction, fullPack()).has_value());
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
    QTest::newRow("JSON answer untouched") << "{}"
                                           << R"({"voice":"x"})";
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
