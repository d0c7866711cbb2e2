#include "CapabilityPack.h"
#include "JsonRead.h"
#include "TaviError.h"

#include <QFile>
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
    QFile file(qEnvironmentVariable("TAVI_TEST_DATA") + u'/' + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test data %s", name);
    return file.readAll();
}

QJsonObject parsedByQt(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        qFatal("not a JSON object");
    return document.object();
}

Pack fullPack()
{
    return Pack::fromJson(fixture("tavi-pack.json"));
}

// Stands where a raw JSON text goes, so rows can hold numbers and escapes that no
// Qt JSON value can express (9007199254740993.0, \ud800).
const QString rawMarker = u"@@RAW@@"_s;

QJsonObject withValue(QJsonObject object, QStringList path, bool remove)
{
    const QString key = path.takeFirst();
    if (!path.isEmpty())
        object.insert(key, withValue(object.value(key).toObject(), path, remove));
    else if (remove)
        object.remove(key);
    else
        object.insert(key, rawMarker);
    return object;
}

// The minimal pack with the member at `path` replaced by the raw JSON text `raw`
// (or removed when `raw` is null).
QByteArray minimalWith(const char *path, const QByteArray &raw)
{
    const QJsonObject changed = withValue(parsedByQt(fixture("minimal-pack.json")),
        QString::fromLatin1(path).split(u'.'), raw.isNull());
    return QJsonDocument(changed)
        .toJson(QJsonDocument::Compact)
        .replace('"' + rawMarker.toLatin1() + '"', raw);
}

} // namespace

class TestCapabilityPack : public QObject
{
    Q_OBJECT

private slots:
    void roundTripKeepsEveryMember()
    {
        for (const char *name : {"minimal-pack.json", "tavi-pack.json"}) {
            const QByteArray document = fixture(name);
            const Pack pack = Pack::fromJson(document);
            QCOMPARE(parsedByQt(pack.toJson()), parsedByQt(document));
            QCOMPARE(pack.toJsonObject(), parsedByQt(document));
            QCOMPARE(Pack::fromJson(pack.toJson()), pack);
        }
        const QByteArray full = fullPack().toJson(); // written in the documented member order
        QVERIFY(full.indexOf("\"markdown\"") > 0);
        QVERIFY(full.indexOf("\"markdown\"") < full.indexOf("\"max_words\""));
    }

    void readingFails_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("expected");
        const auto add = [](const QByteArray &name, const QByteArray &document, const QString &e) {
            QTest::newRow(name.constData()) << document << e;
        };
        // The description names the member path and what is wrong with it.
        const auto row = [&](const char *path, const QByteArray &raw, const char *problem) {
            add(path + QByteArray(problem), minimalWith(path, raw),
                QLatin1String(path) + QLatin1String(problem));
        };
        const char *words = "modules.reply_rules.max_words";
        row("modules.persona.languages", {}, " is missing");
        row("modules.few_shot", {}, " is missing"); // though all its members are optional
        row("modules.reply_rules.hard_rules", "null", " is null");
        row("modules.reply_rules.cta", "null", " is null");
        row("modules.persona.name", "5", " must be a string");
        row("parent_version", "1", " must be a string");
        row(words, "\"120\"", " must be an integer");
        // Integral or not, and in range or not, is decided by value, not by spelling.
        for (const char *raw : {"120.5", "1e-1", "1.00000000000000000001", "-0.5e0"})
            add(raw, minimalWith(words, raw),
                QLatin1String(words) + " must be an integral number"_L1);
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
            u"the text is not valid JSON (Problem while parsing a string)"_s);
        add("keys are case-sensitive",
            fixture("minimal-pack.json").replace("\"pack_id\"", "\"Pack_ID\""),
            u"pack_id is missing"_s);
        add("root is not an object", "[]", u"the document must be an object"_s);
        add("trailing garbage", fixture("minimal-pack.json") + " {}",
            u"the text is not valid JSON (The JSON document has an improper structure: "
            u"missing or superfluous commas, braces, missing keys, etc.)"_s);
    }

    void readingFails()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, expected);
        try {
            Pack::fromJson(document);
            QFAIL("read");
        } catch (const JsonReadError &error) {
            QCOMPARE(error.description(), u"Could not read the capability pack: "_s + expected);
        }
    }

    void readingAccepts_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QByteArray>("same"); // reads to the same pack
        const auto row = [](const char *name, const char *path, const QByteArray &raw,
                             const QByteArray &same) {
            QTest::newRow(name) << minimalWith(path, raw) << minimalWith(path, same);
        };
        row("null optional text is absent", "modules.persona.address_fallback", "null", {});
        row("null optional record is absent", "provenance", "null", {});
        row("empty record is kept", "provenance", "{}", "{}");
        row("empty list is kept", "modules.nlu.examples", "[]", "[]");
        row("empty call to action", "modules.reply_rules.cta", "\"\"", "\"\"");
        // Members nobody reads may hold any JSON, whatever the parser can represent.
        row("unknown members are dropped", "modules.persona.extra",
            "{\"deep\": [1, null, 123456789012345678901234567890, 1e400, -1e400, 1e-400]}", {});
        row("deep nesting in an unknown member", "extra",
            QByteArray(900, '[') + "1e999" + QByteArray(900, ']'), {});
        row("escapes and characters beyond the BMP", "modules.persona.voice",
            "\"\\u00e9\\ud83d\\ude00\\\"\\\\\\/\\u0000\"", "\"\u00e9\U0001F600\\\"\\\\/\\u0000\"");
        const char *words = "modules.reply_rules.max_words";
        for (const auto &[raw, same] :
            std::initializer_list<std::pair<const char *, const char *>> {{"-0", "0"},
                {"-0.0", "0"}, {"0.0", "0"}, {"120.0", "120"}, {"1e2", "100"}, {"1.2e2", "120"},
                {"0.000120e6", "120"}, {"9007199254740993.0", "9007199254740993"},
                {"9.223372036854775807e18", "9223372036854775807"},
                {"-9223372036854775808.0e0", "-9223372036854775808"}})
            row(raw, words, raw, same);
        // Of two members with one name the first counts, wherever the two stand.
        QTest::newRow("repeated member names")
            << fixture("minimal-pack.json")
                   .replace("{\"name\": \"Tavi\",", "{\"voice\": \"V\", \"name\": \"Tavi\",")
                   .replace("\"role\": \"travel assistant\",",
                       "\"role\": \"travel assistant\", \"name\": \"N\",")
            << minimalWith("modules.persona.voice", "\"V\"");
        QTest::newRow("byte-order mark")
            << "\xEF\xBB\xBF" + fixture("minimal-pack.json") << fixture("minimal-pack.json");
        // A value found again in the text by its path: an escaped key, after a
        // look-alike member in another record.
        QTest::newRow("escaped key")
            << fixture("minimal-pack.json")
                   .replace("\"persona\": {", "\"persona\": {\"max_words\": 0.5, ")
                   .replace("\"max_words\": 120", "\"max\\u005fwords\": 1.2e1")
            << minimalWith(words, "12");
    }

    void readingAccepts()
    {
        QFETCH(QByteArray, document);
        QFETCH(QByteArray, same);
        const Pack pack = Pack::fromJson(document);
        QCOMPARE(pack, Pack::fromJson(same));
        QCOMPARE(parsedByQt(pack.toJson()), parsedByQt(same)); // an independent reading
        QCOMPARE(Pack::fromJson(pack.toJson()), pack);
    }

    void readsAPackInsideAnEnvelope_data()
    {
        QTest::addColumn<QByteArray>("pack");
        QTest::addColumn<QString>("error"); // none: reads as the same pack on its own
        QTest::newRow("whole pack") << fixture("tavi-pack.json") << QString();
        QTest::newRow("number decided from its text")
            << minimalWith("modules.reply_rules.max_words", "1.2e2") << QString();
        QTest::newRow("path from the envelope") << minimalWith("modules.persona.voice", "null")
                                                << u"pack.modules.persona.voice is null"_s;
    }

    void readsAPackInsideAnEnvelope()
    {
        QFETCH(QByteArray, pack);
        QFETCH(QString, error);
        // Members around the pack, with look-alikes of its own.
        const QByteArray envelope = "{\"live_version\": \"v1\", \"before\": {\"max_words\": 0.5}, "
                                    "\"pack\": "
            + pack + ", \"after\": [{\"pack_id\": 1}]}";
        const JsonRead::Document document(envelope);
        simdjson::dom::element value;
        QVERIFY(document.root()["pack"].get(value) == simdjson::SUCCESS);
        try {
            const Pack read = JsonRead::capabilityPack(document, value, u"pack"_s);
            QVERIFY(error.isEmpty());
            QCOMPARE(read, Pack::fromJson(pack));
        } catch (const JsonReadError &e) {
            QCOMPARE(e.description(), u"Could not read the capability pack: "_s + error);
        }
    }

    void readsInPlaceOnlyWithRoomPastTheText()
    {
        // An exponent makes the reader go back to the source text for the value.
        const QByteArray text = minimalWith("modules.reply_rules.max_words", "1.2e2");
        QByteArray roomy;
        roomy.reserve(text.size() + 64);
        roomy.append(text);
        const char *start = roomy.constData();
        const JsonRead::Document inPlace(roomy);
        QCOMPARE(inPlace.source().data(), start);
        roomy.fill('x'); // the caller reuses its array while the document lives
        QCOMPARE(JsonRead::capabilityPack(inPlace, inPlace.root(), QString())
                     .modules.replyRules.maxWords,
            120);

        // Without room for the parser's look-ahead the text is copied first.
        const QByteArray exact(text.constData(), text.size());
        QVERIFY(exact.capacity() - exact.size() < 64);
        QVERIFY(JsonRead::Document(exact).source().data() != exact.constData());
    }

    void writingEscapesEveryText()
    {
        QString tricky;
        for (char16_t c = 0; c < 0x80; ++c)
            tricky += QChar(c);
        tricky += u"\u00e9\u2028\uffff\U0001F600\U0010FFFF"_s;
        Pack pack = fullPack();
        pack.modules.persona.voice = tricky;
        pack.modules.replyRules.hardRules = {tricky, QString()};
        QCOMPARE(Pack::fromJson(pack.toJson()), pack);
        // Also read through an independent parser.
        QCOMPARE(Pack::fromJson(QJsonDocument(parsedByQt(pack.toJson())).toJson()), pack);

        // Multi-byte characters at every position around the reader's 16-byte ASCII runs.
        for (int offset = 0; offset < 40; ++offset) {
            pack.modules.persona.voice
                = QString(offset, u'a') + u"\u00e9\u20ac\U0001F600"_s + QString(20, u'b');
            QCOMPARE(
                Pack::fromJson(pack.toJson()).modules.persona.voice, pack.modules.persona.voice);
        }

        // A lone surrogate can only come from code; it is written as the replacement
        // character so that the written text still reads.
        pack.modules.persona.voice = u"a"_s + QChar(0xd800) + u"b"_s + QChar(0xdc00);
        QCOMPARE(Pack::fromJson(pack.toJson()).modules.persona.voice, u"a\ufffdb\ufffd"_s);
    }

    void textsReadBackWhateverSurroundsThem()
    {
        // Texts are decoded in whole blocks that may reach past their end, and laid
        // side by side in shared buffers: short texts next to multi-byte ones, next
        // to texts whose length takes a byte above 127, and enough of every short
        // length to end at every place near a buffer's end, plus one too long to share.
        QList<QString> rules {QString(), u"\u00e9"_s, u"a"_s, u"\u65e5\u672c"_s, u"ab"_s,
            QString(200, u'x'), u"c"_s, u"\U0001F600"_s, QString(5000, u'L')};
        for (int length = 1; length <= 40; ++length)
            for (int i = 0; i < 100; ++i)
                rules.append(QString(length, u'r') + (i % 3 == 0 ? u"\u00e9"_s : QString()));
        // Seventeen units are stored as thirty-two: one of these ends each buffer.
        for (int i = 0; i < 8000; ++i)
            rules.append(QString(17, QChar(u'a' + i % 26)));
        Pack pack = fullPack();
        pack.modules.replyRules.hardRules = rules;
        QCOMPARE(Pack::fromJson(pack.toJson()).modules.replyRules.hardRules, rules);
    }

    void everyRecordTakesPartInEquality_data()
    {
        QTest::addColumn<Change>("change");
        QTest::addColumn<Change>("other"); // applied to the other copy
        const QString x = u"x"_s;
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

    void everyRecordTakesPartInEquality()
    {
        QFETCH(Change, change);
        QFETCH(Change, other);
        Pack pack = fullPack();
        other(pack);
        Pack changed = pack;
        change(changed);
        QVERIFY(!(changed == pack) && !(pack == changed));
        QVERIFY(qHash(changed) != qHash(pack));
        // Equal values that do not share their data compare by content.
        QCOMPARE(Pack::fromJson(changed.toJson()), changed);
        QCOMPARE(qHash(Pack::fromJson(changed.toJson())), qHash(changed));
    }

    void canonicallyEquivalentTextsAreEqual()
    {
        // In a required text, deep in a list of records, and in the provenance.
        using Place = std::function<void(Pack &, const QString &)>;
        const Place places[] = {[](Pack &p, const QString &t) { p.modules.persona.voice = t; },
            [](Pack &p, const QString &t) { (*p.modules.fewShot.bad)[0].why = t; },
            [](Pack &p, const QString &t) { p.provenance->coachInstruction = t; }};
        // Composed and decomposed are equal; other accents and compatibility forms are not.
        for (const auto &[a, b, equal] : {std::tuple(u"caf\u00e9"_s, u"cafe\u0301"_s, true),
                 std::tuple(u"\u00e9"_s, u"e\u0300"_s, false),
                 std::tuple(u"\ufb01"_s, u"fi"_s, false)})
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

    void textsReadAreIndependentValues()
    {
        // Texts read from one document share storage blocks; changing or growing one
        // must never show in another, and each stays '\0'-terminated.
        Pack pack = fullPack();
        const Pack copy = pack;
        QCOMPARE(pack.modules.persona.role.utf16()[pack.modules.persona.role.size()], u'\0');
        pack.modules.persona.name += u" and a much longer suffix than the name itself"_s;
        pack.modules.persona.role[0] = u'X';
        QCOMPARE(pack.modules.persona.role.mid(1), copy.modules.persona.role.mid(1));
        QCOMPARE(pack.modules.persona.voice, copy.modules.persona.voice);
        QCOMPARE(copy, fullPack());
    }

    void instructionEdges()
    {
        // Every field that must not appear is set to something that would show.
        Pack pack = fullPack();
        pack.modules.replyRules.systemPreamble.reset();
        pack.modules.persona.name = u"N"_s;
        pack.modules.persona.voice = u" V\n"_s;
        pack.modules.replyRules.hardRules = {u"- R"_s, u"S\nT "_s};
        pack.modules.replyRules.cta = u"C"_s;
        const QString tail = u"Grounded facts JSON (do not invent missing fields):\n"_s;
        const QString end = u"\nWrite Tavi's reply now (no preamble)."_s;
        // Rules already bulleted, line feeds and blanks kept verbatim.
        QCOMPARE(pack.taviInstructions(u"not json\n"_s),
            u"You are N.\nVoice:  V\n\nRules (hard):\n- - R\n- S\nT \n- C\n"_s + tail
                + u"not json\n"_s + end);
        // Empty preamble, no rules, empty call to action, empty facts.
        pack.modules.replyRules.systemPreamble = QString();
        pack.modules.replyRules.hardRules.clear();
        pack.modules.replyRules.cta = QString();
        QCOMPARE(pack.taviInstructions(QString()),
            u"\nVoice:  V\n\nRules (hard):\n\n- \n"_s + tail + end);
    }
};

QTEST_GUILESS_MAIN(TestCapabilityPack)
#include "test_capability_pack.moc"
