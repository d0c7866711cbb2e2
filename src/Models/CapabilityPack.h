#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// The capability pack: Tavi's live behaviour as one document. A plain value:
// every member is an implicitly shared Qt type, so copying a whole pack and
// changing one field costs a few reference counts, not the bytes.
struct CapabilityPack
{
    struct Persona
    {
        QString name;
        QString role;
        QString voice;
        QList<QString> languages;
        std::optional<QString> addressFallback;
    };

    struct NLUExample
    {
        QString user;
        QString intent;
        std::optional<QString> notes;
    };

    struct NLU
    {
        QList<QString> intents;
        QString schemaHint;
        std::optional<QList<NLUExample>> examples;
    };

    // JSON member order differs from the declaration order: "markdown" comes
    // before "max_words".
    struct ReplyRules
    {
        std::optional<QString> systemPreamble;
        QList<QString> hardRules;
        QString cta;
        std::optional<QString> style;
        qint64 maxWords = 0;
        std::optional<QString> markdown;
    };

    struct ExampleTurn
    {
        QString user;
        QString assistant;
        std::optional<QString> why;
    };

    struct FewShot
    {
        std::optional<QList<ExampleTurn>> good;
        std::optional<QList<ExampleTurn>> bad;
    };

    struct GuardRow
    {
        QString action;
        QString level;
    };

    struct Guardrails
    {
        std::optional<QString> confirmCopy;
        QList<GuardRow> matrix;
        QList<QString> deny;
    };

    struct Provenance
    {
        std::optional<QString> author;
        std::optional<QString> coachModel;
        std::optional<QString> coachInstruction;
        std::optional<QString> updatedAt;
    };

    struct Modules
    {
        Persona persona;
        NLU nlu;
        ReplyRules replyRules;
        FewShot fewShot;
        Guardrails guardrails;
    };

    QString packId;
    QString version;
    QString status;
    std::optional<QString> parentVersion;
    QList<QString> lockedInvariants;
    Modules modules;
    std::optional<Provenance> provenance;

    // Reads one JSON text whose root is the pack. Throws JsonReadError naming the
    // member path and what is wrong; never yields a partial pack.
    static CapabilityPack fromJson(QByteArrayView jsonText);
    // The same; reads the array in place when its allocation has room past the
    // text (see JsonRead::Document).
    static CapabilityPack fromJson(const QByteArray &jsonText);

    // Compact UTF-8 JSON, members in the documented order.
    QByteArray toJson() const;
    // The same document as a JSON object, for embedding in request bodies.
    QJsonObject toJsonObject() const;

    // The reply instructions that make a language model answer as Tavi.
    QString taviInstructions(const QString &factsJSON) const;
};

// Field-by-field equality; texts compare by canonical equivalence.
bool operator==(const CapabilityPack::Persona &a, const CapabilityPack::Persona &b);
bool operator==(const CapabilityPack::NLUExample &a, const CapabilityPack::NLUExample &b);
bool operator==(const CapabilityPack::NLU &a, const CapabilityPack::NLU &b);
bool operator==(const CapabilityPack::ReplyRules &a, const CapabilityPack::ReplyRules &b);
bool operator==(const CapabilityPack::ExampleTurn &a, const CapabilityPack::ExampleTurn &b);
bool operator==(const CapabilityPack::FewShot &a, const CapabilityPack::FewShot &b);
bool operator==(const CapabilityPack::GuardRow &a, const CapabilityPack::GuardRow &b);
bool operator==(const CapabilityPack::Guardrails &a, const CapabilityPack::Guardrails &b);
bool operator==(const CapabilityPack::Provenance &a, const CapabilityPack::Provenance &b);
bool operator==(const CapabilityPack::Modules &a, const CapabilityPack::Modules &b);
bool operator==(const CapabilityPack &a, const CapabilityPack &b);

// The texts' own equality, as the records use it, for code that compares texts
// one at a time (a review of what a draft changes): canonically equivalent texts
// are equal. Shared data and equal code units answer first, without normalising.
bool canonicallyEqual(const QString &a, const QString &b);
// The text in its canonical composed form (NFC); the text itself when it already
// is, without a copy.
QString canonicalComposition(const QString &text);

// Equal values hash alike (canonically equivalent texts included).
size_t qHash(const CapabilityPack::Persona &v, size_t seed = 0);
size_t qHash(const CapabilityPack::NLUExample &v, size_t seed = 0);
size_t qHash(const CapabilityPack::NLU &v, size_t seed = 0);
size_t qHash(const CapabilityPack::ReplyRules &v, size_t seed = 0);
size_t qHash(const CapabilityPack::ExampleTurn &v, size_t seed = 0);
size_t qHash(const CapabilityPack::FewShot &v, size_t seed = 0);
size_t qHash(const CapabilityPack::GuardRow &v, size_t seed = 0);
size_t qHash(const CapabilityPack::Guardrails &v, size_t seed = 0);
size_t qHash(const CapabilityPack::Provenance &v, size_t seed = 0);
size_t qHash(const CapabilityPack::Modules &v, size_t seed = 0);
size_t qHash(const CapabilityPack &v, size_t seed = 0);
