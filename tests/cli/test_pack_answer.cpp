// pull takes the service's answer after one pass that checks its grammar without
// parsing it. That pass must agree with the strict reader's parse over answers
// damaged at random from a few valid ones (a fixed seed, so a failure repeats).

#include "JsonRead.h"
#include "PackAnswer.h"
#include "TaviError.h"

#include <QTest>

#include <simdjson.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace {

// The version pull must find, by the strict reader's parse: nullopt when the
// answer is not JSON, or holds no "pack" object with a string "version".
std::optional<std::string> parsedVersion(std::string_view text)
{
    std::optional<JsonRead::Document> document;
    try {
        document.emplace(QByteArrayView(text.data(), qsizetype(text.size())));
    } catch (const TaviError &) {
        return std::nullopt;
    }
    const simdjson::dom::element root = document->root();
    std::string_view version;
    if (root["pack"]["version"].get_string().get(version) != simdjson::SUCCESS
        || !root["pack"].is_object())
        return std::nullopt;
    return std::string(version);
}

} // namespace

class TestPackAnswer : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithTheParser()
    {
        const std::string seeds[] = {
            "{\"pack\":{\"version\":\"v9\",\"a\":[1,-2.5e+3,true,false,null,{\"b\":"
            "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\"}],\"n\":0},"
            "\"live_version\":\"x\"}",
            " { \"live_version\" : \"x\" ,\r\n\t\"pack\" : { \"x\" : { } , \"version\" : \"\" , "
            "\"y\" : [ [ ] , { \"version\" : 1 } ] } } ",
            "{\"pack\":{\"version\":\"v\"},\"pack\":3}",
        };
        // What damage is made of: the characters JSON's grammar turns on.
        const std::string_view pieces
            = "{}[]\",:\\u0123456789abcdefABCDEFeE+-.tfnlrs \t\n\r\x01\x7f"
              "\xc3\xa9\xe9\xed\xa0\x80";
        std::mt19937 random(20261207);
        int accepted = 0;
        int refused = 0;
        // Sanitizer builds run a fifth of the rounds: each round costs them over ten
        // times as much, and the plain build runs them all.
#if defined(__SANITIZE_ADDRESS__)
        constexpr int rounds = 40000;
#else
        constexpr int rounds = 200000;
#endif
        for (int round = 0; round < rounds; ++round) {
            std::string text = seeds[random() % std::size(seeds)];
            for (int edit = 1 + int(random() % 4); edit > 0; --edit) {
                const size_t at = random() % (text.size() + 1);
                const char piece = pieces[random() % pieces.size()];
                switch (random() % 3) {
                case 0:
                    if (at < text.size())
                        text.erase(at, 1);
                    break;
                case 1:
                    text.insert(at, 1, piece);
                    break;
                default:
                    if (at < text.size())
                        text[at] = piece;
                }
            }
            const std::optional<std::string> version = parsedVersion(text);
            std::optional<QByteArrayView> pack;
            try {
                pack = PackAnswer::packText(QByteArrayView(text.data(), qsizetype(text.size())));
            } catch (const TaviError &) { }
            QVERIFY2(pack.has_value() == version.has_value(), text.c_str());
            if (!pack) {
                ++refused;
                continue;
            }
            ++accepted;
            // The bytes written are the pack itself, its version the parser's.
            const std::string own(pack->data(), size_t(pack->size()));
            QVERIFY2(parsedVersion("{\"pack\":" + own + "}") == version, text.c_str());
        }
        // Both ways were tried often enough to mean something.
        QVERIFY2(accepted > rounds / 40 && refused > rounds / 4,
            qPrintable(QStringLiteral("%1 taken, %2 refused").arg(accepted).arg(refused)));
    }
};

QTEST_GUILESS_MAIN(TestPackAnswer)
#include "test_pack_answer.moc"
