#include "CapabilityPack.h"
#include "TaviError.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

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

// Stands where a raw JSON text goes, so rows can hold numbers and escapes that no
// Qt JSON value can express (9007199254740993.0, \ud800).
const QString rawMarker = QStringLiteral("@@RAW@@");
const QString removeMarker = QStringLiteral("@@REMOVE@@");

QJsonObject withValue(QJsonObject object, QStringList path, const QJsonValue &value)
{
    const QString key = path.takeFirst();
    if (!path.isEmpty())
        object.insert(key, withValue(object.value(key).toObject(), path, value));
    else if (value == QJsonValue(removeMarker))
        object.remove(key);
    else
        object.insert(key, value);
    return object;
}

// `document` with the member at `path` replaced by the raw JSON text `raw` (or
// removed when `raw` is null).
QByteArray withRaw(const QByteArray &document, const char *path, const QByteArray &raw)
{
    const QJsonObject changed = withValue(parsedByQt(document),
        QString::fromLatin1(path).split(QLatin1Char('.')), raw.isNull() ? removeMarker : rawMarker);
    QByteArray text = QJsonDocument(changed).toJson(QJsonDocument::Compact);
    return text.replace('"' + rawMarker.toLatin1() + '"', raw);
}

QByteArray minimalWith(const char *path, const QByteArray &raw)
{
    return withRaw(fixture("minimal-pack.json"), path, raw);
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

Pack fullPack()
{
    return Pack::fromJson(fixture("tavi-pack.json"));
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
    void everyRecordTakesPartInEquality_data();
    void everyRecordTakesPartInEquality();
    void canonicallyEquivalentTextsAreEqual_data();
    void canonicallyEquivalentTextsAreEqual();
    void textsReadAreIndependentValues();
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
    QCOMPARE(parsedByQt(pack.toJson()), original);
    QCOMPARE(pack.toJsonObject(), original);
    QCOMPARE(Pack::fromJson(pack.toJson()), pack);
    const QByteArray full = fullPack().toJson();
    QVERIFY(full.indexOf("\"markdown\"") > 0);
    QVERIFY(full.indexOf("\"markdown\"") < full.indexOf("\"max_words\""));
}

void TestCapabilityPack::readingFails_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("expected");

    const auto add
        = [](const QByteArray &name, const QByteArray &document, const QString &problem) {
              QTest::newRow(name.constData())
                  << document << QStringLiteral("Could not read the capability pack: ") + problem;
          };
    // The description names the member path and what is wrong with it.
    const auto row = [&](const char *path, const QByteArray &raw, const char *problem) {
        add(path + QByteArray(problem), minimalWith(path, raw),
            QLatin1String(path) + QLatin1String(problem));
    };
    const QByteArray removed;
    const char *words = "modules.reply_rules.max_words";
    row("modules.persona.languages", removed, " is missing");
    row("modules.few_shot", removed, " is missing"); // though all its members are optional
    row("modules.reply_rules.hard_rules", "null", " is null");
    row("modules.reply_rules.cta", "null", " is null");
    row("modules.persona.name", "5", " must be a string");
    row("parent_version", "1", " must be a string");
    row(words, "\"120\"", " must be an integer");
    // Integral or not, and in range or not, is decided by value, not by spelling.
    for (const char *raw : {"120.5", "1e-1", "1.00000000000000000001", "-0.5e0"})
        add(raw, minimalWith(words, raw), QLatin1String(words) + " must be an integral number"_L1);
    for (const char *raw : {"1e19", "9223372036854775808", "-9223372036854775809", "1e400",
             "92233720368547758.08e2", "123456789012345678901234567890"})
        add(raw, minimalWith(words, raw),
            QLatin1String(words) + " must be within the signed 64-bit integer range"_L1);
    row("modules.reply_rules.hard_rules", "[\"a\", null]", "[1] is null");
    row("modules.guardrails.deny", "[\"a\", 2]", "[1] must be a string");
    row("modules.guardrails.matrix", "{}", " must be an array");
    row("modules.nlu.examples", "[\"hi\"]", "[0] must be an object");
    row("modules.guardrails.matrix", "[{\"action\": \"a\"}]", "[0].level is missing");
    row("provenance", "\"yesterday\"", " must be an object");
    add("lone surrogate escape", minimalWith("modules.persona.voice", "\"a\\ud800b\""),
        QStringLiteral("the text is not valid JSON (Problem while parsing a string)"));
    add("keys are case-sensitive",
        fixture("minimal-pack.json").replace("\"pack_id\"", "\"Pack_ID\""),
        QStringLiteral("pack_id is missing"));
    add("root is not an object", "[]", QStringLiteral("the document must be an object"));
    add("trailing garbage", fixture("minimal-pack.json") + " {}",
        QStringLiteral("the text is not valid JSON (The JSON document has an improper structure: "
                       "missing or superfluous commas, braces, missing keys, etc.)"));
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

    const auto row = [](
                         const char *name, const char *path, const QByteArray &raw,
                         Change change = [](Pack &) {}) {
        QTest::newRow(name) << minimalWith(path, raw) << change;
    };
    const char *words = "modules.reply_rules.max_words";
    row("null optional text is absent", "modules.persona.address_fallback", "null");
    row("null optional record is absent", "provenance", "null");
    row("empty provenance is kept", "provenance", "{}",
        [](Pack &p) { p.provenance = Pack::Provenance {}; });
    row("empty examples are kept", "modules.nlu.examples", "[]",
        [](Pack &p) { p.modules.nlu.examples = QList<Pack::NLUExample> {}; });
    row("empty call to action", "modules.reply_rules.cta", "\"\"",
        [](Pack &p) { p.modules.replyRules.cta = QString(); });
    const auto words_
        = [](qint64 n) { return Change([n](Pack &p) { p.modules.replyRules.maxWords = n; }); };
    for (const auto &[raw, value] : std::initializer_list<std::pair<const char *, qint64>> {
             {"0", 0}, {"-5", -5}, {"120.0", 120}, {"1e2", 100}, {"1.2e2", 120},
             {"0.000120e6", 120}, {"0.0", 0}, {"-0.0", 0}, {"-0", 0},
             {"9007199254740993.0", 9007199254740993}, {"9.223372036854775807e18", INT64_MAX},
             {"-9223372036854775808", INT64_MIN}, {"-9223372036854775808.0e0", INT64_MIN}})
        row(raw, words, raw, words_(value));
    // Members nobody reads may hold any JSON, whatever the parser can represent.
    row("unknown members are dropped", "modules.persona.extra",
        "{\"deep\": [1, null, 123456789012345678901234567890, 1e400, -1e400, 1e-400]}");
    row("deep nesting in an unknown member", "extra",
        QByteArray(900, '[') + "1e999" + QByteArray(900, ']'));
    QTest::newRow("byte-order mark") << "\xEF\xBB\xBF" + fixture("minimal-pack.json") << Change();
    // A value found again in the text by its path: an escaped key, after a
    // look-alike member in another record.
    QTest::newRow("escaped key") << fixture("minimal-pack.json")
                                        .replace(
                                            "\"persona\": {", "\"persona\": {\"max_words\": 0.5, ")
                                        .replace("\"max_words\": 120", "\"max\\u005fwords\": 1.2e1")
                                 << words_(12);
    row("escapes and characters beyond the BMP", "modules.persona.voice",
        "\"\\u00e9\\ud83d\\ude00\\\"\\\\\\/\\u0000\"", [](Pack &p) {
            p.modules.persona.voice
                = QString::fromUtf8("\xc3\xa9\xf0\x9f\x98\x80\"\\/") + QChar(u'\0');
        });
}

void TestCapabilityPack::readingAccepts()
{
    QFETCH(QByteArray, document);
    QFETCH(Change, expected);
    const Pack pack = Pack::fromJson(document);
    Pack want = minimalPack();
    if (expected)
        expected(want);
    QCOMPARE(pack, want);
    const QByteArray written = pack.toJson();
    QCOMPARE(Pack::fromJson(written), pack);
    QCOMPARE(parsedByQt(written), pack.toJsonObject());
    QVERIFY(!written.contains("null"));
    QVERIFY(!written.contains("extra"));
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
    QCOMPARE(Pack::fromJson(written), pack);
    // Also read through an independent parser.
    QCOMPARE(Pack::fromJson(QJsonDocument(parsedByQt(written)).toJson()), pack);

    // Multi-byte characters at every position around the reader's 16-byte ASCII runs.
    for (int offset = 0; offset < 40; ++offset) {
        const QString text = QString(offset, QLatin1Char('a'))
            + QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80")
            + QString(20, QLatin1Char('b'));
        pack.modules.persona.voice = text;
        QCOMPARE(Pack::fromJson(pack.toJson()).modules.persona.voice, text);
    }

    // A lone surrogate can only come from code; it is written as the replacement
    // character so that the written text still reads.
    pack.modules.persona.voice
        = QStringLiteral("a") + QChar(0xd800) + QStringLiteral("b") + QChar(0xdc00);
    QCOMPARE(Pack::fromJson(pack.toJson()).modules.persona.voice, QStringLiteral("a\ufffdb\ufffd"));
}

void TestCapabilityPack::everyRecordTakesPartInEquality_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<Change>("other"); // applied to the other copy
    const QString x = QStringLiteral("x");
    const auto row = [](
                         const char *name, Change change, Change other = [](Pack &) {}) {
        QTest::newRow(name) << change << other;
    };
    row("pack", [=](Pack &p) { p.lockedInvariants[1] = x; });
    row("persona", [=](Pack &p) { p.modules.persona.voice = x; });
    row("nlu", [=](Pack &p) { p.modules.nlu.schemaHint = x; });
    row("nlu example", [=](Pack &p) { (*p.modules.nlu.examples)[2].user = x; });
    row("reply rules", [](Pack &p) { p.modules.replyRules.maxWords = 121; });
    row("few-shot turn", [=](Pack &p) { (*p.modules.fewShot.bad)[0].assistant = x; });
    row("guardrails", [=](Pack &p) { p.modules.guardrails.deny.prepend(x); });
    row("guard row", [=](Pack &p) { p.modules.guardrails.matrix[2].level = x; });
    row("provenance", [=](Pack &p) { p.provenance->updatedAt = x; });
    row(
        "text empty vs absent", [](Pack &p) { p.parentVersion.reset(); },
        [](Pack &p) { p.parentVersion = QString(); });
    row(
        "list empty vs absent", [](Pack &p) { p.modules.nlu.examples.reset(); },
        [](Pack &p) { p.modules.nlu.examples->clear(); });
    row(
        "record empty vs absent", [](Pack &p) { p.provenance.reset(); },
        [](Pack &p) { p.provenance = Pack::Provenance {}; });
}

void TestCapabilityPack::everyRecordTakesPartInEquality()
{
    QFETCH(Change, change);
    QFETCH(Change, other);
    Pack pack = fullPack();
    other(pack);
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
    QTest::newRow("different accents, one decomposed")
        << QStringLiteral("\u00e9") << QStringLiteral("e\u0300") << false;
    QTest::newRow("compatibility is not canonical")
        << QStringLiteral("\ufb01") << QStringLiteral("fi") << false;
}

void TestCapabilityPack::canonicallyEquivalentTextsAreEqual()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, equal);
    // In a required text, deep in a list of records, and in the provenance.
    using Place = std::function<void(Pack &, const QString &)>;
    const QList<Place> places {
        [](Pack &p, const QString &t) { p.modules.persona.voice = t; },
        [](Pack &p, const QString &t) { (*p.modules.fewShot.bad)[0].why = t; },
        [](Pack &p, const QString &t) { p.provenance->coachInstruction = t; },
    };
    for (const Place &place : places) {
        Pack first = fullPack();
        place(first, a);
        Pack second = fullPack();
        place(second, b);
        QCOMPARE(first == second, equal);
        if (equal)
            QCOMPARE(qHash(first, 7), qHash(second, 7));
    }
}

void TestCapabilityPack::textsReadAreIndependentValues()
{
    // Texts read from one document share storage blocks; changing or growing one
    // must never show in another, and each stays '\0'-terminated.
    Pack pack = fullPack();
    const Pack copy = pack;
    QCOMPARE(pack.modules.persona.role.utf16()[pack.modules.persona.role.size()], u'\0');
    pack.modules.persona.name += QStringLiteral(" and a much longer suffix than the name itself");
    pack.modules.persona.role[0] = QLatin1Char('X');
    QCOMPARE(pack.modules.persona.role.mid(1), copy.modules.persona.role.mid(1));
    QCOMPARE(pack.modules.persona.voice, copy.modules.persona.voice);
    QCOMPARE(copy, fullPack());
}

void TestCapabilityPack::instructionEdges_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("facts");
    QTest::addColumn<QString>("head"); // the instructions before the facts
    const auto row = [](const char *name, Change change, const char *facts, const char *head) {
        QTest::newRow(name) << change << QString::fromUtf8(facts) << QString::fromUtf8(head);
    };
    row(
        "empty name", [](Pack &p) { p.modules.persona.name = QString(); }, "{}",
        "You are .\nVoice: V\nRules (hard):\n- R\n- C\n");
    row(
        "empty preamble", [](Pack &p) { p.modules.replyRules.systemPreamble = QString(); }, "{}",
        "\nVoice: V\nRules (hard):\n- R\n- C\n");
    row(
        "no hard rules", [](Pack &p) { p.modules.replyRules.hardRules.clear(); }, "{}",
        "You are N.\nVoice: V\nRules (hard):\n\n- C\n");
    row(
        "empty call to action", [](Pack &p) { p.modules.replyRules.cta = QString(); }, "{}",
        "You are N.\nVoice: V\nRules (hard):\n- R\n- \n");
    row(
        "empty facts", [](Pack &) {}, "", "You are N.\nVoice: V\nRules (hard):\n- R\n- C\n");
    row(
        "rule already bulleted, line feeds kept verbatim",
        [](Pack &p) {
            p.modules.replyRules.hardRules = {QStringLiteral("- R"), QStringLiteral("S\nT ")};
            p.modules.persona.voice = QStringLiteral(" V\n");
        },
        "not json\n", "You are N.\nVoice:  V\n\nRules (hard):\n- - R\n- S\nT \n- C\n");
}

void TestCapabilityPack::instructionEdges()
{
    QFETCH(Change, change);
    QFETCH(QString, facts);
    QFETCH(QString, head);
    // Every field that must not appear is set to something that would show.
    Pack pack = fullPack();
    pack.modules.replyRules.systemPreamble.reset();
    pack.modules.persona.name = QStringLiteral("N");
    pack.modules.persona.voice = QStringLiteral("V");
    pack.modules.replyRules.hardRules = {QStringLiteral("R")};
    pack.modules.replyRules.cta = QStringLiteral("C");
    change(pack);
    QCOMPARE(pack.taviInstructions(facts),
        head + QStringLiteral("Grounded facts JSON (do not invent missing fields):\n") + facts
            + QStringLiteral("\nWrite Tavi's reply now (no preamble)."));
}

QTEST_GUILESS_MAIN(TestCapabilityPack)
#include "test_capability_pack.moc"
