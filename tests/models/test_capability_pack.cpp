#include "CapabilityPack.h"
#include "TaviError.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>

using Pack = CapabilityPack;
using Change = std::function<void(Pack &)>;
Q_DECLARE_METATYPE(Change)

namespace {

QByteArray fixture(const char *name)
{
    QFile file(qEnvironmentVariable("TAVI_TEST_DATA") + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test data %s", name);
    return file.readAll();
}

QJsonObject parsedByQt(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        qFatal("not a JSON object: %s", qPrintable(error.errorString()));
    return document.object();
}

// Marks the place in a document where a raw JSON text goes, so that rows can hold
// numbers and escapes that no Qt JSON value can express (9007199254740993.0, \ud800).
const QString rawMarker = QStringLiteral("@@RAW@@");
const QString removeMarker = QStringLiteral("@@REMOVE@@");

QJsonObject withValue(QJsonObject object, QStringList path, const QJsonValue &value)
{
    const QString key = path.takeFirst();
    if (path.isEmpty()) {
        if (value == QJsonValue(removeMarker))
            object.remove(key);
        else
            object.insert(key, value);
    } else {
        object.insert(key, withValue(object.value(key).toObject(), path, value));
    }
    return object;
}

// The smallest valid document with the member at `path` replaced by the raw JSON
// text `raw` (or removed when `raw` is null).
QByteArray minimalWith(const QString &path, const QByteArray &raw)
{
    const QJsonObject base = parsedByQt(fixture("minimal-pack.json"));
    const QJsonObject changed
        = withValue(base, path.split(QLatin1Char('.')), raw.isNull() ? removeMarker : rawMarker);
    QByteArray text = QJsonDocument(changed).toJson(QJsonDocument::Compact);
    text.replace(
        QJsonDocument(QJsonArray {rawMarker}).toJson(QJsonDocument::Compact).mid(1).chopped(1),
        raw);
    return text;
}

QString readError(const QByteArray &json)
{
    try {
        Pack::fromJson(json);
    } catch (const JsonReadError &error) {
        return error.description();
    }
    return QString();
}

Pack minimalPack()
{
    return Pack::fromJson(fixture("minimal-pack.json"));
}

Pack workedExamplePack()
{
    Pack pack = minimalPack();
    pack.modules.persona.name = QStringLiteral("Tavi");
    pack.modules.persona.voice = QStringLiteral("Warm and concise, Indonesian first.");
    pack.modules.replyRules.systemPreamble.reset();
    pack.modules.replyRules.hardRules = {QStringLiteral("Never invent prices."),
        QStringLiteral("Never suggest booking without confirmation.")};
    pack.modules.replyRules.cta = QStringLiteral("Offer to check availability for the date given.");
    return pack;
}

} // namespace

class TestCapabilityPack : public QObject
{
    Q_OBJECT

private slots:
    void roundTripKeepsEveryMember_data();
    void roundTripKeepsEveryMember();
    void readingFails_data();
    void readingFails();
    void readingAccepts_data();
    void readingAccepts();
    void writingEscapesEveryText();
    void replyRulesWriteMarkdownBeforeMaxWords();
    void everyFieldTakesPartInEquality_data();
    void everyFieldTakesPartInEquality();
    void canonicallyEquivalentTextsAreEqual_data();
    void canonicallyEquivalentTextsAreEqual();
    void copyAndChangeSharesTheRest();
    void textsReadAreIndependentValues();
    void workedExample();
    void instructionEdges_data();
    void instructionEdges();
};

void TestCapabilityPack::roundTripKeepsEveryMember_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("smallest valid document") << fixture("minimal-pack.json");
    QTest::newRow("every optional member") << fixture("tavi-pack.json");
}

void TestCapabilityPack::roundTripKeepsEveryMember()
{
    QFETCH(QByteArray, document);
    const Pack pack = Pack::fromJson(document);
    const QJsonObject original = parsedByQt(document);
    // Read by an independent parser, so escaping and integer form are checked too.
    QCOMPARE(parsedByQt(pack.toJson()), original);
    QCOMPARE(pack.toJsonObject(), original);
    QCOMPARE(Pack::fromJson(pack.toJson()), pack);
}

void TestCapabilityPack::readingFails_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char *name, const char *path, const QByteArray &raw,
                         const char *problem) {
        QTest::newRow(name) << minimalWith(QLatin1String(path),
            raw) << QStringLiteral("Could not read the capability pack: ") + QLatin1String(problem);
    };
    const QByteArray removed;
    row("required list missing", "locked_invariants", removed, "locked_invariants is missing");
    row("nested required list missing", "modules.persona.languages", removed,
        "modules.persona.languages is missing");
    row("required list null", "modules.reply_rules.hard_rules", "null",
        "modules.reply_rules.hard_rules is null");
    row("module with only optional fields missing", "modules.few_shot", removed,
        "modules.few_shot is missing");
    row("required text null", "modules.reply_rules.cta", "null", "modules.reply_rules.cta is null");
    row("number is not text", "modules.persona.name", "5", "modules.persona.name must be a string");
    row("boolean is not text", "version", "true", "version must be a string");
    row("text is not an integer", "modules.reply_rules.max_words", "\"120\"",
        "modules.reply_rules.max_words must be an integer");
    row("fraction", "modules.reply_rules.max_words", "1.5",
        "modules.reply_rules.max_words must be an integer written without fraction or exponent");
    row("integral value beyond a double's precision", "modules.reply_rules.max_words",
        "9007199254740993.0",
        "modules.reply_rules.max_words must be an integer written without fraction or exponent");
    row("just above the 64-bit range", "modules.reply_rules.max_words", "9223372036854775808",
        "modules.reply_rules.max_words must be an integer within the signed 64-bit range");
    row("just below the 64-bit range", "modules.reply_rules.max_words", "-9223372036854775809",
        "the text is not valid JSON (Problem while parsing a number)");
    row("null list element", "modules.reply_rules.hard_rules", "[\"a\", null]",
        "modules.reply_rules.hard_rules[1] is null");
    row("list element of the wrong type", "modules.guardrails.deny", "[\"a\", 2]",
        "modules.guardrails.deny[1] must be a string");
    row("list that is an object", "modules.guardrails.matrix", "{}",
        "modules.guardrails.matrix must be an array");
    row("record element that is not an object", "modules.nlu.examples", "[\"hi\"]",
        "modules.nlu.examples[0] must be an object");
    row("record element missing a member", "modules.guardrails.matrix", "[{\"action\": \"a\"}]",
        "modules.guardrails.matrix[0].level is missing");
    row("module that is an array", "modules.persona", "[]", "modules.persona must be an object");
    row("optional record of the wrong type", "provenance", "\"yesterday\"",
        "provenance must be an object");
    row("optional text of the wrong type", "parent_version", "1",
        "parent_version must be a string");
    row("few-shot turn with a null member", "modules.few_shot.good",
        "[{\"user\": \"u\", \"assistant\": null}]", "modules.few_shot.good[0].assistant is null");
    row("lone surrogate escape", "modules.persona.voice", "\"a\\ud800b\"",
        "the text is not valid JSON (Problem while parsing a string)");
    row("raw tab inside a string", "modules.persona.voice", "\"a\tb\"",
        "the text is not valid JSON (Within strings, some characters must be escaped, we found "
        "unescaped characters)");
    row("invalid UTF-8", "modules.persona.voice", "\"a\xff\"",
        "the text is not valid JSON (The input is not valid UTF-8)");

    QTest::newRow("keys are case-sensitive")
        << fixture("minimal-pack.json").replace("\"pack_id\"", "\"Pack_ID\"")
        << QStringLiteral("Could not read the capability pack: pack_id is missing");
    QTest::newRow("root is not an object")
        << QByteArray("[]")
        << QStringLiteral("Could not read the capability pack: the document must be an object");
    QTest::newRow("empty text") << QByteArray()
                                << QStringLiteral("Could not read the capability pack: the text is "
                                                  "not valid JSON (Empty: no JSON found)");
    QTest::newRow("trailing garbage")
        << fixture("minimal-pack.json") + " {}"
        << QStringLiteral("Could not read the capability pack: the text is not valid JSON (The "
                          "JSON document has an improper structure: missing or superfluous "
                          "commas, braces, missing keys, etc.)");
}

void TestCapabilityPack::readingFails()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, expected);
    QCOMPARE(readError(document), expected);
}

void TestCapabilityPack::readingAccepts_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<Change>("expected"); // applied to the minimal pack
    QTest::addColumn<QStringList>("writtenMembers"); // checked in the written text

    const auto row = [](const char *name, const char *path, const QByteArray &raw, Change change,
                         QStringList written = {}) {
        QTest::newRow(name) << minimalWith(QLatin1String(path), raw) << change << written;
    };
    row("provenance null", "provenance", "null", [](Pack &) {});
    row("empty provenance is kept", "provenance", "{}",
        [](Pack &p) { p.provenance = Pack::Provenance {}; }, {QStringLiteral("\"provenance\":{}")});
    row("provenance with null members", "provenance", "{\"author\": null, \"updated_at\": \"t\"}",
        [](Pack &p) {
            p.provenance = Pack::Provenance {{}, {}, {}, QStringLiteral("t")};
        },
        {QStringLiteral("\"provenance\":{\"updated_at\":\"t\"}")});
    row("empty examples are kept", "modules.nlu.examples", "[]",
        [](Pack &p) { p.modules.nlu.examples = QList<Pack::NLUExample> {}; },
        {QStringLiteral("\"examples\":[]")});
    row("empty call to action", "modules.reply_rules.cta", "\"\"",
        [](Pack &p) { p.modules.replyRules.cta = QString(); }, {QStringLiteral("\"cta\":\"\"")});
    row("zero words", "modules.reply_rules.max_words", "0",
        [](Pack &p) { p.modules.replyRules.maxWords = 0; }, {QStringLiteral("\"max_words\":0")});
    row("negative words", "modules.reply_rules.max_words", "-5",
        [](Pack &p) { p.modules.replyRules.maxWords = -5; }, {QStringLiteral("\"max_words\":-5")});
    row("largest integer", "modules.reply_rules.max_words", "9223372036854775807",
        [](Pack &p) { p.modules.replyRules.maxWords = std::numeric_limits<qint64>::max(); },
        {QStringLiteral("\"max_words\":9223372036854775807")});
    row("smallest integer", "modules.reply_rules.max_words", "-9223372036854775808",
        [](Pack &p) { p.modules.replyRules.maxWords = std::numeric_limits<qint64>::min(); },
        {QStringLiteral("\"max_words\":-9223372036854775808")});
    row("unknown root member", "extra", "{\"deep\": [1, null]}", [](Pack &) {});
    row("unknown persona member", "modules.persona.mood", "\"cheerful\"", [](Pack &) {});
    row("null optional text", "modules.persona.address_fallback", "null", [](Pack &) {});
    row("both few-shot lists", "modules.few_shot",
        "{\"bad\": [], \"good\": [{\"user\": \"u\", \"assistant\": \"a\", \"why\": \"\"}]}",
        [](Pack &p) {
            p.modules.fewShot.good
                = QList<Pack::ExampleTurn> {{QStringLiteral("u"), QStringLiteral("a"), QString()}};
            p.modules.fewShot.bad = QList<Pack::ExampleTurn> {};
        },
        {QStringLiteral(
            "\"few_shot\":{\"good\":[{\"user\":\"u\",\"assistant\":\"a\",\"why\":\"\"}],"
            "\"bad\":[]}")});
    row("escapes and characters beyond the BMP", "modules.persona.voice",
        "\"\\u00e9\\ud83d\\ude00\\\"\\\\\\/\\u0000\"",
        [](Pack &p) {
            p.modules.persona.voice
                = QString::fromUtf8("\xc3\xa9\xf0\x9f\x98\x80\"\\/") + QChar(u'\0');
        },
        {QString::fromUtf8("\"voice\":\"\xc3\xa9\xf0\x9f\x98\x80\\\"\\\\/\\u0000\"")});
}

void TestCapabilityPack::readingAccepts()
{
    QFETCH(QByteArray, document);
    QFETCH(Change, expected);
    QFETCH(QStringList, writtenMembers);

    const Pack pack = Pack::fromJson(document);
    Pack want = minimalPack();
    expected(want);
    QCOMPARE(pack, want);
    // The written document holds exactly the modelled members: nothing unknown, no null.
    const QByteArray written = pack.toJson();
    QCOMPARE(parsedByQt(written), pack.toJsonObject());
    QVERIFY(!written.contains("null"));
    QVERIFY(!written.contains("extra"));
    QVERIFY(!written.contains("mood"));
    QCOMPARE(written.contains("\"provenance\""), pack.provenance.has_value());
    for (const QString &member : writtenMembers)
        QVERIFY2(QString::fromUtf8(written).contains(member), qPrintable(member));
}

void TestCapabilityPack::writingEscapesEveryText()
{
    QString tricky;
    for (char16_t c = 0; c < 0x80; ++c)
        tricky += QChar(c);
    tricky += QString::fromUtf8("\xc3\xa9\xe2\x80\xa8\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf");
    Pack pack = minimalPack();
    pack.modules.persona.voice = tricky;
    pack.modules.replyRules.hardRules = {tricky, QString()};
    const QByteArray written = pack.toJson();
    QCOMPARE(
        parsedByQt(
            written)[QLatin1String("modules")][QLatin1String("persona")][QLatin1String("voice")]
            .toString(),
        tricky);
    QCOMPARE(Pack::fromJson(written), pack);

    // Multi-byte characters at every position around the reader's 16-byte ASCII runs.
    for (int offset = 0; offset < 40; ++offset) {
        const QString text = QString(offset, QLatin1Char('a'))
            + QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80")
            + QString(20, QLatin1Char('b'));
        pack.modules.persona.voice = text;
        QCOMPARE(Pack::fromJson(pack.toJson()).modules.persona.voice, text);
    }

    // A lone surrogate can only come from code, never from reading; it is written as
    // the replacement character so that the written text still reads.
    pack.modules.persona.voice
        = QStringLiteral("a") + QChar(0xd800) + QStringLiteral("b") + QChar(0xdc00);
    QCOMPARE(Pack::fromJson(pack.toJson()).modules.persona.voice, QStringLiteral("a\ufffdb\ufffd"));
}

void TestCapabilityPack::replyRulesWriteMarkdownBeforeMaxWords()
{
    const QByteArray written = Pack::fromJson(fixture("tavi-pack.json")).toJson();
    const qsizetype markdown = written.indexOf("\"markdown\"");
    QVERIFY(markdown > 0);
    QVERIFY(markdown < written.indexOf("\"max_words\""));
}

void TestCapabilityPack::everyFieldTakesPartInEquality_data()
{
    QTest::addColumn<Change>("change");
    const QString x = QStringLiteral("x");
    QTest::newRow("packId") << Change([=](Pack &p) { p.packId = x; });
    QTest::newRow("version") << Change([=](Pack &p) { p.version = x; });
    QTest::newRow("status") << Change([=](Pack &p) { p.status = x; });
    QTest::newRow("parentVersion absent") << Change([](Pack &p) { p.parentVersion.reset(); });
    QTest::newRow("lockedInvariants") << Change([=](Pack &p) { p.lockedInvariants[0] = x; });
    QTest::newRow("name") << Change([=](Pack &p) { p.modules.persona.name = x; });
    QTest::newRow("role") << Change([=](Pack &p) { p.modules.persona.role = x; });
    QTest::newRow("voice") << Change([=](Pack &p) { p.modules.persona.voice = x; });
    QTest::newRow("languages") << Change([](Pack &p) { p.modules.persona.languages.removeLast(); });
    QTest::newRow("addressFallback empty")
        << Change([](Pack &p) { p.modules.persona.addressFallback = QString(); });
    QTest::newRow("intents") << Change([=](Pack &p) { p.modules.nlu.intents.append(x); });
    QTest::newRow("schemaHint") << Change([=](Pack &p) { p.modules.nlu.schemaHint = x; });
    QTest::newRow("example intent")
        << Change([=](Pack &p) { (*p.modules.nlu.examples)[1].intent = x; });
    QTest::newRow("example notes")
        << Change([=](Pack &p) { (*p.modules.nlu.examples)[1].notes = x; });
    QTest::newRow("examples empty vs absent")
        << Change([](Pack &p) { p.modules.nlu.examples.reset(); });
    QTest::newRow("systemPreamble")
        << Change([=](Pack &p) { p.modules.replyRules.systemPreamble = x; });
    QTest::newRow("hardRules") << Change([=](Pack &p) { p.modules.replyRules.hardRules[2] = x; });
    QTest::newRow("cta") << Change([=](Pack &p) { p.modules.replyRules.cta = x; });
    QTest::newRow("style") << Change([=](Pack &p) { p.modules.replyRules.style = x; });
    QTest::newRow("maxWords") << Change([](Pack &p) { p.modules.replyRules.maxWords = 121; });
    QTest::newRow("markdown") << Change([=](Pack &p) { p.modules.replyRules.markdown = x; });
    QTest::newRow("good user") << Change([=](Pack &p) { (*p.modules.fewShot.good)[0].user = x; });
    QTest::newRow("good assistant")
        << Change([=](Pack &p) { (*p.modules.fewShot.good)[0].assistant = x; });
    QTest::newRow("bad why") << Change([=](Pack &p) { (*p.modules.fewShot.bad)[0].why.reset(); });
    QTest::newRow("bad absent") << Change([](Pack &p) { p.modules.fewShot.bad.reset(); });
    QTest::newRow("confirmCopy") << Change([=](Pack &p) { p.modules.guardrails.confirmCopy = x; });
    QTest::newRow("matrix action")
        << Change([=](Pack &p) { p.modules.guardrails.matrix[2].action = x; });
    QTest::newRow("matrix level") << Change(
        [=](Pack &p) { p.modules.guardrails.matrix[0].level = x; });
    QTest::newRow("deny") << Change([=](Pack &p) { p.modules.guardrails.deny.prepend(x); });
    QTest::newRow("author") << Change([=](Pack &p) { p.provenance->author = x; });
    QTest::newRow("coachModel") << Change([=](Pack &p) { p.provenance->coachModel.reset(); });
    QTest::newRow("coachInstruction")
        << Change([=](Pack &p) { p.provenance->coachInstruction = x; });
    QTest::newRow("updatedAt") << Change([=](Pack &p) { p.provenance->updatedAt = x; });
    QTest::newRow("provenance absent") << Change([](Pack &p) { p.provenance.reset(); });
}

void TestCapabilityPack::everyFieldTakesPartInEquality()
{
    QFETCH(Change, change);
    const Pack pack = Pack::fromJson(fixture("tavi-pack.json"));
    Pack changed = pack;
    change(changed);
    QVERIFY(!(changed == pack));
    QVERIFY(!(pack == changed));
    QVERIFY(qHash(changed) != qHash(pack));
    // Equal values that do not share their data compare by content.
    QCOMPARE(Pack::fromJson(changed.toJson()), changed);
    QCOMPARE(qHash(Pack::fromJson(changed.toJson())), qHash(changed));
}

void TestCapabilityPack::canonicallyEquivalentTextsAreEqual_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("equal");
    QTest::newRow("composed and decomposed")
        << QStringLiteral("caf\u00e9") << QStringLiteral("cafe\u0301") << true;
    QTest::newRow("combining marks in either order")
        << QStringLiteral("a\u0323\u0302") << QStringLiteral("a\u0302\u0323") << true;
    QTest::newRow("Hangul syllable and jamo")
        << QStringLiteral("\uac00") << QStringLiteral("\u1100\u1161") << true;
    QTest::newRow("both decomposed, same letters")
        << QStringLiteral("e\u0301e\u0300") << QStringLiteral("e\u0301e\u0300") << true;
    QTest::newRow("different accents, one decomposed")
        << QStringLiteral("\u00e9") << QStringLiteral("e\u0300") << false;
    QTest::newRow("accent against none")
        << QStringLiteral("e\u0301") << QStringLiteral("e") << false;
    QTest::newRow("compatibility is not canonical")
        << QStringLiteral("\ufb01") << QStringLiteral("fi") << false;
    QTest::newRow("empty against absent accent") << QString() << QStringLiteral("\u0301") << false;
}

void TestCapabilityPack::canonicallyEquivalentTextsAreEqual()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, equal);
    const Pack base = Pack::fromJson(fixture("tavi-pack.json"));
    // In a required text, deep in a list of records, and in the provenance.
    using Place = std::function<void(Pack &, const QString &)>;
    const QList<Place> places {
        [](Pack &p, const QString &t) { p.modules.persona.voice = t; },
        [](Pack &p, const QString &t) { (*p.modules.fewShot.bad)[0].why = t; },
        [](Pack &p, const QString &t) { p.provenance->coachInstruction = t; },
    };
    for (const Place &place : places) {
        Pack first = base;
        place(first, a);
        Pack second = base;
        place(second, b);
        QCOMPARE(first == second, equal);
        if (equal)
            QCOMPARE(qHash(first, 7), qHash(second, 7));
    }
}

void TestCapabilityPack::copyAndChangeSharesTheRest()
{
    const Pack pack = Pack::fromJson(fixture("tavi-pack.json"));
    Pack draft = pack;
    draft.modules.persona.voice = QStringLiteral("Cheerful.");
    QVERIFY(draft.modules.nlu.examples->isSharedWith(*pack.modules.nlu.examples));
    QVERIFY(draft.modules.replyRules.hardRules.isSharedWith(pack.modules.replyRules.hardRules));
    QCOMPARE(pack.modules.persona.voice, QStringLiteral("Warm and concise, Indonesian first."));
    QVERIFY(!(draft == pack));
}

void TestCapabilityPack::textsReadAreIndependentValues()
{
    // Texts read from one document may share storage; changing, growing or
    // dropping one must never show in another, and each stays '\0'-terminated.
    Pack pack = Pack::fromJson(fixture("tavi-pack.json"));
    const Pack untouched = Pack::fromJson(fixture("tavi-pack.json"));
    QCOMPARE(pack.modules.persona.role.utf16()[pack.modules.persona.role.size()], u'\0');
    pack.modules.persona.name += QStringLiteral(" and a much longer suffix than the name itself");
    pack.modules.persona.role[0] = QLatin1Char('X');
    pack.modules.persona.voice.prepend(QStringLiteral("Very "));
    pack.modules.persona.languages[0].append(QStringLiteral("-ID"));
    QCOMPARE(pack.modules.persona.role.mid(1), untouched.modules.persona.role.mid(1));
    QCOMPARE(pack.modules.persona.voice, QStringLiteral("Very ") + untouched.modules.persona.voice);
    QCOMPARE(pack.modules.persona.languages,
        QList<QString>({QStringLiteral("id-ID"), QStringLiteral("en")}));
    QCOMPARE(pack.modules.nlu, untouched.modules.nlu);

    // The last survivor of a shared block may grow in place; nothing else is left
    // to be overwritten.
    QString survivor = Pack::fromJson(fixture("tavi-pack.json")).modules.persona.name;
    survivor.append(QString(5000, QLatin1Char('a')));
    QCOMPARE(survivor.size(), 5004);
    QVERIFY(survivor.startsWith(QStringLiteral("Tavi")));
}

void TestCapabilityPack::workedExample()
{
    QCOMPARE(workedExamplePack().taviInstructions(QStringLiteral("{}")),
        QStringLiteral("You are Tavi.\n"
                       "Voice: Warm and concise, Indonesian first.\n"
                       "Rules (hard):\n"
                       "- Never invent prices.\n"
                       "- Never suggest booking without confirmation.\n"
                       "- Offer to check availability for the date given.\n"
                       "Grounded facts JSON (do not invent missing fields):\n"
                       "{}\n"
                       "Write Tavi's reply now (no preamble)."));
}

void TestCapabilityPack::instructionEdges_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("facts");
    QTest::addColumn<QString>("expected");
    const QString tail = QStringLiteral("Grounded facts JSON (do not invent missing fields):\n{}\n"
                                        "Write Tavi's reply now (no preamble).");
    QTest::newRow("empty name") << Change([](Pack &p) { p.modules.persona.name = QString(); })
                                << QStringLiteral("{}")
                                << QStringLiteral("You are .\nVoice: V\nRules (hard):\n- R\n- C\n")
            + tail;
    QTest::newRow("empty preamble")
        << Change([](Pack &p) { p.modules.replyRules.systemPreamble = QString(); })
        << QStringLiteral("{}") << QStringLiteral("\nVoice: V\nRules (hard):\n- R\n- C\n") + tail;
    QTest::newRow("preamble taken as it stands")
        << Change([](Pack &p) { p.modules.replyRules.systemPreamble = QStringLiteral("Hi"); })
        << QStringLiteral("{}") << QStringLiteral("Hi\nVoice: V\nRules (hard):\n- R\n- C\n") + tail;
    QTest::newRow("no hard rules")
        << Change([](Pack &p) { p.modules.replyRules.hardRules.clear(); }) << QStringLiteral("{}")
        << QStringLiteral("You are N.\nVoice: V\nRules (hard):\n\n- C\n") + tail;
    QTest::newRow("empty call to action")
        << Change([](Pack &p) { p.modules.replyRules.cta = QString(); }) << QStringLiteral("{}")
        << QStringLiteral("You are N.\nVoice: V\nRules (hard):\n- R\n- \n") + tail;
    QTest::newRow("empty facts") << Change([](Pack &) {}) << QString()
                                 << QStringLiteral(
                                        "You are N.\nVoice: V\nRules (hard):\n- R\n- C\n"
                                        "Grounded facts JSON (do not invent missing fields):\n\n"
                                        "Write Tavi's reply now (no preamble).");
    QTest::newRow("rule already bulleted, line feeds kept verbatim")
        << Change([](Pack &p) {
               p.modules.replyRules.hardRules = {QStringLiteral("- R"), QStringLiteral("S\nT ")};
               p.modules.persona.voice = QStringLiteral(" V\n");
           })
        << QStringLiteral("not json\n")
        << QStringLiteral("You are N.\nVoice:  V\n\nRules (hard):\n- - R\n- S\nT \n- C\n"
                          "Grounded facts JSON (do not invent missing fields):\nnot json\n\n"
                          "Write Tavi's reply now (no preamble).");
}

void TestCapabilityPack::instructionEdges()
{
    QFETCH(Change, change);
    QFETCH(QString, facts);
    QFETCH(QString, expected);
    // Every field that must not appear is set to something that would show.
    Pack pack = Pack::fromJson(fixture("tavi-pack.json"));
    pack.modules.replyRules.systemPreamble.reset();
    pack.modules.persona.name = QStringLiteral("N");
    pack.modules.persona.voice = QStringLiteral("V");
    pack.modules.replyRules.hardRules = {QStringLiteral("R")};
    pack.modules.replyRules.cta = QStringLiteral("C");
    change(pack);
    QCOMPARE(pack.taviInstructions(facts), expected);
}

QTEST_GUILESS_MAIN(TestCapabilityPack)
#include "test_capability_pack.moc"
