#include "PackGenerator.h"

namespace PackGenerator {

namespace {

// Indonesian and English travel phrases, some with accented letters so that
// normalisation has real work to do on the decomposed variant.
const char16_t *const phrases[] = {
    u"Berapa harga tiket ke Labuan Bajo untuk dua orang bulan depan?",
    u"Is there still room on the Komodo boat trip on the twelfth?",
    u"Saya mau pesan homestay dekat pantai Kuta, yang murah saja.",
    u"Can we bring a caf\u00e9 cr\u00e8me stop into the Ubud day tour?",
    u"Tolong cek jadwal kapal cepat dari Sanur ke Nusa Penida besok pagi.",
    u"Our r\u00e9sum\u00e9 of the trip: three nights, two divers, one na\u00efve beginner.",
    u"Apakah ada paket snorkeling di Gili Trawangan untuk keluarga?",
    u"We would like the expos\u00e9 tour of old Jakarta, with a guide who speaks fran\u00e7ais.",
};
constexpr int phraseCount = int(sizeof(phrases) / sizeof(phrases[0]));

QString phrase(int i, bool decomposed)
{
    QString s
        = QString::fromUtf16(phrases[i % phraseCount]) + QLatin1Char(' ') + QString::number(i);
    if (!decomposed)
        return s;
    QString out;
    out.reserve(s.size() * 2);
    for (QChar c : s) {
        switch (c.unicode()) {
        case 0xe9:
            out += QStringLiteral("e\u0301");
            break;
        case 0xe8:
            out += QStringLiteral("e\u0300");
            break;
        case 0xef:
            out += QStringLiteral("i\u0308");
            break;
        case 0xe7:
            out += QStringLiteral("c\u0327");
            break;
        default:
            out += c;
        }
    }
    return out;
}

const QString intents[] = {QStringLiteral("ask_price"), QStringLiteral("ask_availability"),
    QStringLiteral("book_trip"), QStringLiteral("cancel_trip"), QStringLiteral("small_talk")};

CapabilityPack basePack()
{
    CapabilityPack p;
    p.packId = QStringLiteral("tavi-travel");
    p.version = QStringLiteral("2025.06.3");
    p.status = QStringLiteral("live");
    p.parentVersion = QStringLiteral("2025.06.2");
    p.lockedInvariants = {QStringLiteral("Never quote a price that is not in the grounded facts."),
        QStringLiteral("Never confirm a booking without an explicit yes.")};
    p.modules.persona
        = {QStringLiteral("Tavi"), QStringLiteral("Conversational travel assistant for Indonesia"),
            QStringLiteral("Warm and concise, Indonesian first."),
            {QStringLiteral("id"), QStringLiteral("en")}, QStringLiteral("Kak")};
    p.modules.nlu.intents = QList<QString>(std::begin(intents), std::end(intents));
    p.modules.nlu.schemaHint = QStringLiteral("{\"intent\": string, \"date\": \"YYYY-MM-DD\"?}");
    p.modules.replyRules = {QStringLiteral("You are Tavi, the travel assistant of Vuzev."),
        {QStringLiteral("Never invent prices."),
            QStringLiteral("Never suggest booking without confirmation.")},
        QStringLiteral("Offer to check availability for the date given."),
        QStringLiteral("Short sentences."), 120, QStringLiteral("none")};
    p.modules.guardrails = {QStringLiteral("Shall I book this for you? Reply yes to confirm."),
        {{QStringLiteral("quote_price"), QStringLiteral("grounded_only")},
            {QStringLiteral("book_trip"), QStringLiteral("explicit_confirmation")}},
        {QStringLiteral("visa_advice"), QStringLiteral("medical_advice")}};
    p.provenance = CapabilityPack::Provenance {QStringLiteral("operator@vuzev.example"),
        QStringLiteral("apple-foundation"), QStringLiteral("Make the voice warmer."),
        QStringLiteral("2025-06-14T09:30:00Z")};
    return p;
}

CapabilityPack withExamples(int examples, int turns, bool decomposed)
{
    CapabilityPack p = basePack();
    QList<CapabilityPack::NLUExample> nlu;
    nlu.reserve(examples);
    for (int i = 0; i < examples; ++i) {
        std::optional<QString> notes;
        if (i % 3 == 0)
            notes = phrase(i + 3, decomposed);
        nlu.append({phrase(i, decomposed), intents[i % 5], notes});
    }
    p.modules.nlu.examples = nlu;
    QList<CapabilityPack::ExampleTurn> good, bad;
    for (int i = 0; i < turns; ++i) {
        CapabilityPack::ExampleTurn t {
            phrase(i + 1, decomposed), phrase(i + 5, decomposed), phrase(i + 2, decomposed)};
        (i % 4 == 0 ? bad : good).append(t);
    }
    p.modules.fewShot.good = good;
    p.modules.fewShot.bad = bad;
    return p;
}

} // namespace

CapabilityPack typicalPack()
{
    return withExamples(12, 6, false);
}

CapabilityPack largePack(qsizetype approxBytes, bool decomposed)
{
    // Two NLU examples and one few-shot turn come to about 530 bytes of JSON.
    const int units = int(approxBytes / 530);
    return withExamples(units * 2, units, decomposed);
}

QByteArray typicalPackJson()
{
    return typicalPack().toJson();
}

QByteArray largePackJson(qsizetype approxBytes)
{
    return largePack(approxBytes).toJson();
}

} // namespace PackGenerator
