#include "PackDiff.h"
#include "WordBreak.h"

#include <QCoroFuture>
#include <QJsonObject>
#include <QtConcurrent/QtConcurrentRun>

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <vector>

using Pack = CapabilityPack;

namespace PackDiff {
namespace {

// ---------------------------------------------------------------------------
// Every member of the pack, with its JSON key and what the operator calls it.
// Lists also name their items ("Row 3"). Labels are joined with " › ".

enum class F {
    packId,
    version,
    status,
    parentVersion,
    lockedInvariants,
    modules,
    persona,
    name,
    role,
    voice,
    languages,
    addressFallback,
    nlu,
    intents,
    schemaHint,
    examples,
    exampleUser,
    exampleIntent,
    exampleNotes,
    replyRules,
    systemPreamble,
    hardRules,
    cta,
    style,
    markdown,
    maxWords,
    fewShot,
    good,
    bad,
    turnUser,
    turnAssistant,
    turnWhy,
    guardrails,
    confirmCopy,
    matrix,
    action,
    level,
    deny,
    provenance,
    author,
    coachModel,
    coachInstruction,
    updatedAt,
};

struct Name
{
    F field;
    const char16_t *key;
    const char16_t *label; // empty: adds nothing to the label ("modules")
    const char16_t *item = nullptr; // for lists: what one element is called
};

constexpr Name kNames[] = {
    {F::packId, u"pack_id", u"Pack ID"},
    {F::version, u"version", u"Version"},
    {F::status, u"status", u"Status"},
    {F::parentVersion, u"parent_version", u"Parent version"},
    {F::lockedInvariants, u"locked_invariants", u"Locked invariants", u"Item"},
    {F::modules, u"modules", u""},
    {F::persona, u"persona", u"Persona"},
    {F::name, u"name", u"Name"},
    {F::role, u"role", u"Role"},
    {F::voice, u"voice", u"Voice"},
    {F::languages, u"languages", u"Languages", u"Language"},
    {F::addressFallback, u"address_fallback", u"Address fallback"},
    {F::nlu, u"nlu", u"Understanding"},
    {F::intents, u"intents", u"Intents", u"Intent"},
    {F::schemaHint, u"schema_hint", u"Schema hint"},
    {F::examples, u"examples", u"Examples", u"Example"},
    {F::exampleUser, u"user", u"Traveller message"},
    {F::exampleIntent, u"intent", u"Intent"},
    {F::exampleNotes, u"notes", u"Notes"},
    {F::replyRules, u"reply_rules", u"Reply rules"},
    {F::systemPreamble, u"system_preamble", u"System preamble"},
    {F::hardRules, u"hard_rules", u"Hard rules", u"Rule"},
    {F::cta, u"cta", u"Call to action"},
    {F::style, u"style", u"Style"},
    {F::markdown, u"markdown", u"Markdown"},
    {F::maxWords, u"max_words", u"Word limit"},
    {F::fewShot, u"few_shot", u"Few-shot examples"},
    {F::good, u"good", u"Good", u"Example"},
    {F::bad, u"bad", u"Bad", u"Example"},
    {F::turnUser, u"user", u"Traveller"},
    {F::turnAssistant, u"assistant", u"Tavi"},
    {F::turnWhy, u"why", u"Why"},
    {F::guardrails, u"guardrails", u"Guardrails"},
    {F::confirmCopy, u"confirm_copy", u"Confirmation copy"},
    {F::matrix, u"matrix", u"Guard matrix", u"Row"},
    {F::action, u"action", u"Action"},
    {F::level, u"level", u"Level"},
    {F::deny, u"deny", u"Denied items", u"Item"},
    {F::provenance, u"provenance", u"Provenance"},
    {F::author, u"author", u"Author"},
    {F::coachModel, u"coach_model", u"Coach model"},
    {F::coachInstruction, u"coach_instruction", u"Coach instruction"},
    {F::updatedAt, u"updated_at", u"Updated at"},
};

const Name &nameOf(F field)
{
    const Name &name = kNames[static_cast<size_t>(field)];
    Q_ASSERT(name.field == field);
    return name;
}

QString str(const char16_t *text)
{
    return QString::fromUtf16(text);
}

const QString kSeparator = QStringLiteral(" \u203a ");

// Texts with more words than this on either side get a word-level diff.
constexpr qsizetype kLongText = 12;
// Beyond this much work an alignment gives up and reports delete + insert:
// (n + m) × edit distance, and at most this many edits.
constexpr qint64 kAlignBudget = 40'000'000;
constexpr qint64 kMaxEdits = 1000;

// ---------------------------------------------------------------------------
// Alignment (Myers' O((n+m)·D) shortest edit script), bounded in cost.

struct Match
{
    qsizetype a;
    qsizetype b;
};

// Matched index pairs in order, or nullopt when aligning would cost too much.
// `equal(i, j)` compares a[i] with b[j].
template<typename Equal>
std::optional<std::vector<Match>> align(qsizetype n, qsizetype m, const Equal &equal)
{
    std::vector<Match> matches;
    qsizetype prefix = 0;
    while (prefix < n && prefix < m && equal(prefix, prefix))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < n - prefix && suffix < m - prefix && equal(n - 1 - suffix, m - 1 - suffix))
        ++suffix;
    for (qsizetype i = 0; i < prefix; ++i)
        matches.push_back({i, i});

    const qsizetype an = n - prefix - suffix;
    const qsizetype bm = m - prefix - suffix;
    if (an > 0 && bm > 0) {
        const qint64 total = an + bm;
        const qint64 maxD
            = std::min<qint64>({total, kMaxEdits, std::max<qint64>(kAlignBudget / total, 2)});
        const qint64 offset = maxD + 1;
        std::vector<qint64> v(static_cast<size_t>(2 * offset + 1), 0);
        // v before each step d, over diagonals -d..d, for the way back.
        std::vector<std::vector<qint64>> trace;
        bool found = false;
        qint64 steps = 0; // the edit distance, once found
        for (qint64 d = 0; d <= maxD && !found; ++d) {
            trace.emplace_back(v.begin() + (offset - d), v.begin() + (offset + d + 1));
            for (qint64 k = -d; k <= d; k += 2) {
                qint64 x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1]))
                    ? v[offset + k + 1]
                    : v[offset + k - 1] + 1;
                qint64 y = x - k;
                while (x < an && y < bm && equal(prefix + x, prefix + y)) {
                    ++x;
                    ++y;
                }
                v[offset + k] = x;
                if (x >= an && y >= bm) {
                    found = true;
                    steps = d;
                    break;
                }
            }
        }
        if (!found)
            return std::nullopt;
        // Walk back from the end, collecting the diagonal moves.
        std::vector<Match> middle;
        qint64 x = an;
        qint64 y = bm;
        for (qint64 d = steps; d > 0; --d) {
            const std::vector<qint64> &before = trace[static_cast<size_t>(d)];
            const auto at = [&](qint64 k) { return before[static_cast<size_t>(k + d)]; };
            const qint64 k = x - y;
            const qint64 prevK = (k == -d || (k != d && at(k - 1) < at(k + 1))) ? k + 1 : k - 1;
            const qint64 prevX = at(prevK);
            const qint64 prevY = prevX - prevK;
            const qint64 startX = prevK == k + 1 ? prevX : prevX + 1;
            while (x > startX) {
                --x;
                --y;
                middle.push_back({prefix + x, prefix + y});
            }
            x = prevX;
            y = prevY;
        }
        while (x > 0 && y > 0) {
            --x;
            --y;
            middle.push_back({prefix + x, prefix + y});
        }
        matches.insert(matches.end(), middle.rbegin(), middle.rend());
    }
    for (qsizetype i = suffix; i > 0; --i)
        matches.push_back({n - i, m - i});
    return matches;
}

// The gaps between matches: a[aBegin, aEnd) was replaced by b[bBegin, bEnd).
struct Gap
{
    qsizetype aBegin, aEnd, bBegin, bEnd;
};

template<typename Equal> std::vector<Gap> gaps(qsizetype n, qsizetype m, const Equal &equal)
{
    std::vector<Gap> out;
    const auto matches = align(n, m, equal);
    if (!matches) {
        out.push_back({0, n, 0, m});
        return out;
    }
    qsizetype a = 0;
    qsizetype b = 0;
    const auto close = [&](qsizetype aEnd, qsizetype bEnd) {
        if (aEnd > a || bEnd > b)
            out.push_back({a, aEnd, b, bEnd});
    };
    for (const Match &match : *matches) {
        close(match.a, match.b);
        a = match.a + 1;
        b = match.b + 1;
    }
    close(n, m);
    return out;
}

// ---------------------------------------------------------------------------
// Word-level diff of two texts.

struct Tokens
{
    QString text; // NFC
    std::vector<qsizetype> bounds; // token i is [bounds[i], bounds[i+1])
    qsizetype words = 0;

    qsizetype size() const { return qsizetype(bounds.size()) - 1; }
    QStringView token(qsizetype i) const
    {
        return QStringView(text).mid(bounds[size_t(i)], bounds[size_t(i) + 1] - bounds[size_t(i)]);
    }
    QStringView range(qsizetype from, qsizetype to) const
    {
        return QStringView(text).mid(
            bounds[size_t(from)], bounds[size_t(to)] - bounds[size_t(from)]);
    }
};

// Tokens at ICU word boundaries: words, spaces and punctuation each on their
// own, so scripts without spaces split into words as well.
Tokens tokenize(const QString &text)
{
    Tokens tokens;
    tokens.text = canonicalComposition(text);
    tokens.bounds.push_back(0);
    icu::BreakIterator *words = ReplyChecks::wordIterator();
    if (!words) {
        if (!tokens.text.isEmpty())
            tokens.bounds.push_back(tokens.text.size());
        tokens.words = tokens.text.split(u' ', Qt::SkipEmptyParts).size();
        return tokens;
    }
    const icu::UnicodeString source(false, reinterpret_cast<const UChar *>(tokens.text.utf16()),
        static_cast<int32_t>(tokens.text.size()));
    words->setText(source);
    words->first();
    for (int32_t end = words->next(); end != icu::BreakIterator::DONE; end = words->next()) {
        tokens.bounds.push_back(end);
        if (words->getRuleStatus() != UBRK_WORD_NONE)
            ++tokens.words;
    }
    words->setText(icu::UnicodeString());
    return tokens;
}

bool isBlank(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); });
}

void appendRun(QList<WordRun> &runs, WordRun::Kind kind, QStringView text)
{
    if (text.isEmpty())
        return;
    if (!runs.isEmpty() && runs.last().kind == kind)
        runs.last().text += text;
    else
        runs.append({kind, text.toString()});
}

QList<WordRun> wordDiff(const Tokens &a, const Tokens &b)
{
    std::vector<Gap> found = gaps(
        a.size(), b.size(), [&](qsizetype i, qsizetype j) { return a.token(i) == b.token(j); });
    // Two changes separated only by spaces read better as one.
    std::vector<Gap> merged;
    for (const Gap &gap : found) {
        if (!merged.empty()) {
            Gap &last = merged.back();
            if (gap.aBegin - last.aEnd == gap.bBegin - last.bEnd
                && isBlank(a.range(last.aEnd, gap.aBegin))) {
                last.aEnd = gap.aEnd;
                last.bEnd = gap.bEnd;
                continue;
            }
        }
        merged.push_back(gap);
    }
    QList<WordRun> runs;
    qsizetype at = 0;
    for (const Gap &gap : merged) {
        appendRun(runs, WordRun::Kind::kept, a.range(at, gap.aBegin));
        appendRun(runs, WordRun::Kind::deleted, a.range(gap.aBegin, gap.aEnd));
        appendRun(runs, WordRun::Kind::inserted, b.range(gap.bBegin, gap.bEnd));
        at = gap.aEnd;
    }
    appendRun(runs, WordRun::Kind::kept, a.range(at, a.size()));
    return runs;
}

// ---------------------------------------------------------------------------
// Record texts for added and removed rows: "Action: book · Level: confirm".

QString field(F f, const QString &value)
{
    return str(nameOf(f).label) + QStringLiteral(": ") + value;
}

QString joinFields(const QStringList &parts)
{
    return parts.join(QStringLiteral(" \u00b7 "));
}

QString render(const Pack::GuardRow &row)
{
    return joinFields({field(F::action, row.action), field(F::level, row.level)});
}

QString render(const Pack::NLUExample &e)
{
    QStringList parts {field(F::exampleUser, e.user), field(F::exampleIntent, e.intent)};
    if (e.notes)
        parts.append(field(F::exampleNotes, *e.notes));
    return joinFields(parts);
}

QString render(const Pack::ExampleTurn &t)
{
    QStringList parts {field(F::turnUser, t.user), field(F::turnAssistant, t.assistant)};
    if (t.why)
        parts.append(field(F::turnWhy, *t.why));
    return joinFields(parts);
}

template<typename T> QString renderList(const QList<T> &list)
{
    QStringList lines;
    lines.reserve(list.size());
    for (const T &item : list)
        lines.append(render(item));
    return lines.join(QLatin1Char('\n'));
}

QString render(const Pack::Provenance &p)
{
    QStringList lines;
    const auto add = [&](F f, const std::optional<QString> &v) {
        if (v)
            lines.append(field(f, *v));
    };
    add(F::author, p.author);
    add(F::coachModel, p.coachModel);
    add(F::coachInstruction, p.coachInstruction);
    add(F::updatedAt, p.updatedAt);
    return lines.join(QLatin1Char('\n'));
}

// ---------------------------------------------------------------------------
// The walk over the document.

class Differ
{
public:
    QList<Change> changes;

    void pack(const Pack &a, const Pack &b)
    {
        text(F::packId, a.packId, b.packId);
        text(F::version, a.version, b.version);
        text(F::status, a.status, b.status);
        optText(F::parentVersion, a.parentVersion, b.parentVersion);
        textList(F::lockedInvariants, a.lockedInvariants, b.lockedInvariants);
        {
            const Scope modules = enter(F::modules);
            persona(a.modules.persona, b.modules.persona);
            nlu(a.modules.nlu, b.modules.nlu);
            replyRules(a.modules.replyRules, b.modules.replyRules);
            fewShot(a.modules.fewShot, b.modules.fewShot);
            guardrails(a.modules.guardrails, b.modules.guardrails);
        }
        provenance(a.provenance, b.provenance);
    }

private:
    // Restores the path and label on leaving a member.
    class Scope
    {
    public:
        Scope(Differ &differ, qsizetype path, qsizetype label)
            : m_differ(differ)
            , m_path(path)
            , m_label(label)
        { }
        ~Scope()
        {
            m_differ.m_path.truncate(m_path);
            m_differ.m_label.truncate(m_label);
        }
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        Differ &m_differ;
        qsizetype m_path;
        qsizetype m_label;
    };

    Scope enter(F f)
    {
        const qsizetype path = m_path.size();
        const qsizetype label = m_label.size();
        const Name &name = nameOf(f);
        if (!m_path.isEmpty())
            m_path += QLatin1Char('.');
        m_path += str(name.key);
        if (name.label[0] != u'\0') {
            if (!m_label.isEmpty())
                m_label += kSeparator;
            m_label += str(name.label);
        }
        return Scope(*this, path, label);
    }

    // Inside a list member: its element at `index`.
    Scope enterItem(F list, qsizetype index)
    {
        const qsizetype path = m_path.size();
        const qsizetype label = m_label.size();
        m_path += QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
        m_label
            += kSeparator + str(nameOf(list).item) + QLatin1Char(' ') + QString::number(index + 1);
        return Scope(*this, path, label);
    }

    void add(Change::Kind kind, std::optional<QString> before, std::optional<QString> after,
        QList<WordRun> words = {})
    {
        changes.append(
            {kind, m_path, m_label, std::move(before), std::move(after), std::move(words)});
    }

    // Both sides present and different.
    void changed(const QString &a, const QString &b)
    {
        QList<WordRun> words;
        // Counting words means segmenting; only texts long enough to be worth it.
        if (a.size() > kLongText || b.size() > kLongText) {
            const Tokens ta = tokenize(a);
            const Tokens tb = tokenize(b);
            if (ta.words > kLongText || tb.words > kLongText)
                words = wordDiff(ta, tb);
        }
        add(Change::Kind::changed, a, b, std::move(words));
    }

    void text(F f, const QString &a, const QString &b)
    {
        if (canonicallyEqual(a, b))
            return;
        const Scope scope = enter(f);
        changed(a, b);
    }

    void optText(F f, const std::optional<QString> &a, const std::optional<QString> &b)
    {
        if (a && b) {
            text(f, *a, *b);
        } else if (a || b) {
            const Scope scope = enter(f);
            add(a ? Change::Kind::removed : Change::Kind::added, a, b);
        }
    }

    void integer(F f, qint64 a, qint64 b)
    {
        if (a == b)
            return;
        const Scope scope = enter(f);
        add(Change::Kind::changed, QString::number(a), QString::number(b));
    }

    // Items aligned by their texts; a removed item and an added one at the same
    // place read as one changed item.
    void textList(F f, const QList<QString> &a, const QList<QString> &b)
    {
        if (a.constData() == b.constData() && a.size() == b.size())
            return;
        const Scope scope = enter(f);
        const auto equal = [&](qsizetype i, qsizetype j) { return canonicallyEqual(a[i], b[j]); };
        for (const Gap &gap : gaps(a.size(), b.size(), equal)) {
            const qsizetype paired = std::min(gap.aEnd - gap.aBegin, gap.bEnd - gap.bBegin);
            for (qsizetype i = 0; i < paired; ++i) {
                const Scope item = enterItem(f, gap.bBegin + i);
                changed(a[gap.aBegin + i], b[gap.bBegin + i]);
            }
            for (qsizetype i = gap.aBegin + paired; i < gap.aEnd; ++i) {
                const Scope item = enterItem(f, i);
                add(Change::Kind::removed, a[i], std::nullopt);
            }
            for (qsizetype j = gap.bBegin + paired; j < gap.bEnd; ++j) {
                const Scope item = enterItem(f, j);
                add(Change::Kind::added, std::nullopt, b[j]);
            }
        }
    }

    // Rows aligned as whole records; rows that take each other's place compare
    // field by field.
    template<typename Row, typename Fields>
    void rows(F f, const QList<Row> &a, const QList<Row> &b, const Fields &fields)
    {
        if (a.constData() == b.constData() && a.size() == b.size())
            return;
        const Scope scope = enter(f);
        const auto equal = [&](qsizetype i, qsizetype j) { return a[i] == b[j]; };
        for (const Gap &gap : gaps(a.size(), b.size(), equal)) {
            const qsizetype paired = std::min(gap.aEnd - gap.aBegin, gap.bEnd - gap.bBegin);
            for (qsizetype i = 0; i < paired; ++i) {
                const Scope item = enterItem(f, gap.bBegin + i);
                fields(a[gap.aBegin + i], b[gap.bBegin + i]);
            }
            for (qsizetype i = gap.aBegin + paired; i < gap.aEnd; ++i) {
                const Scope item = enterItem(f, i);
                add(Change::Kind::removed, render(a[i]), std::nullopt);
            }
            for (qsizetype j = gap.bBegin + paired; j < gap.bEnd; ++j) {
                const Scope item = enterItem(f, j);
                add(Change::Kind::added, std::nullopt, render(b[j]));
            }
        }
    }

    template<typename Row, typename Fields>
    void optRows(F f, const std::optional<QList<Row>> &a, const std::optional<QList<Row>> &b,
        const Fields &fields)
    {
        if (a && b) {
            rows(f, *a, *b, fields);
        } else if (a || b) {
            const Scope scope = enter(f);
            add(a ? Change::Kind::removed : Change::Kind::added,
                a ? std::optional<QString>(renderList(*a)) : std::nullopt,
                b ? std::optional<QString>(renderList(*b)) : std::nullopt);
        }
    }

    void persona(const Pack::Persona &a, const Pack::Persona &b)
    {
        const Scope scope = enter(F::persona);
        text(F::name, a.name, b.name);
        text(F::role, a.role, b.role);
        text(F::voice, a.voice, b.voice);
        textList(F::languages, a.languages, b.languages);
        optText(F::addressFallback, a.addressFallback, b.addressFallback);
    }

    void nlu(const Pack::NLU &a, const Pack::NLU &b)
    {
        const Scope scope = enter(F::nlu);
        textList(F::intents, a.intents, b.intents);
        text(F::schemaHint, a.schemaHint, b.schemaHint);
        optRows(F::examples, a.examples, b.examples,
            [this](const Pack::NLUExample &x, const Pack::NLUExample &y) {
                text(F::exampleUser, x.user, y.user);
                text(F::exampleIntent, x.intent, y.intent);
                optText(F::exampleNotes, x.notes, y.notes);
            });
    }

    // In the document's member order: "markdown" before "max_words".
    void replyRules(const Pack::ReplyRules &a, const Pack::ReplyRules &b)
    {
        const Scope scope = enter(F::replyRules);
        optText(F::systemPreamble, a.systemPreamble, b.systemPreamble);
        textList(F::hardRules, a.hardRules, b.hardRules);
        text(F::cta, a.cta, b.cta);
        optText(F::style, a.style, b.style);
        optText(F::markdown, a.markdown, b.markdown);
        integer(F::maxWords, a.maxWords, b.maxWords);
    }

    void fewShot(const Pack::FewShot &a, const Pack::FewShot &b)
    {
        const Scope scope = enter(F::fewShot);
        const auto turn = [this](const Pack::ExampleTurn &x, const Pack::ExampleTurn &y) {
            text(F::turnUser, x.user, y.user);
            text(F::turnAssistant, x.assistant, y.assistant);
            optText(F::turnWhy, x.why, y.why);
        };
        optRows(F::good, a.good, b.good, turn);
        optRows(F::bad, a.bad, b.bad, turn);
    }

    void guardrails(const Pack::Guardrails &a, const Pack::Guardrails &b)
    {
        const Scope scope = enter(F::guardrails);
        optText(F::confirmCopy, a.confirmCopy, b.confirmCopy);
        rows(F::matrix, a.matrix, b.matrix,
            [this](const Pack::GuardRow &x, const Pack::GuardRow &y) {
                text(F::action, x.action, y.action);
                text(F::level, x.level, y.level);
            });
        textList(F::deny, a.deny, b.deny);
    }

    void provenance(
        const std::optional<Pack::Provenance> &a, const std::optional<Pack::Provenance> &b)
    {
        if (!a && !b)
            return;
        const Scope scope = enter(F::provenance);
        if (a && b) {
            optText(F::author, a->author, b->author);
            optText(F::coachModel, a->coachModel, b->coachModel);
            optText(F::coachInstruction, a->coachInstruction, b->coachInstruction);
            optText(F::updatedAt, a->updatedAt, b->updatedAt);
        } else {
            add(a ? Change::Kind::removed : Change::Kind::added,
                a ? std::optional<QString>(render(*a)) : std::nullopt,
                b ? std::optional<QString>(render(*b)) : std::nullopt);
        }
    }

    QString m_path;
    QString m_label;
};

// ---------------------------------------------------------------------------
// Text forms.

QString kindWord(Change::Kind kind)
{
    switch (kind) {
    case Change::Kind::changed:
        return QStringLiteral("changed");
    case Change::Kind::added:
        return QStringLiteral("added");
    case Change::Kind::removed:
        return QStringLiteral("removed");
    }
    Q_UNREACHABLE();
}

const QString kInsertedOpen = QStringLiteral("{+");
const QString kInsertedClose = QStringLiteral("+}");
const QString kDeletedOpen = QStringLiteral("[-");
const QString kDeletedClose = QStringLiteral("-]");

// The runs with their marks; `paint` wraps a marked run (for colour).
template<typename Paint> QString marked(const QList<WordRun> &runs, const Paint &paint)
{
    QString out;
    for (const WordRun &run : runs) {
        switch (run.kind) {
        case WordRun::Kind::kept:
            out += run.text;
            break;
        case WordRun::Kind::inserted:
            out += paint(run.kind, kInsertedOpen + run.text + kInsertedClose);
            break;
        case WordRun::Kind::deleted:
            out += paint(run.kind, kDeletedOpen + run.text + kDeletedClose);
            break;
        }
    }
    return out;
}

QString quoted(const QString &text, const QString &prefix)
{
    if (text.isEmpty())
        return prefix + QStringLiteral("(empty)");
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line.prepend(prefix);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

QList<Change> diff(const CapabilityPack &from, const CapabilityPack &to)
{
    Differ differ;
    differ.pack(from, to);
    return std::move(differ.changes);
}

QCoro::Task<QList<Change>> diffAsync(CapabilityPack from, CapabilityPack to)
{
    QFuture<QList<Change>> future = QtConcurrent::run(
        [from = std::move(from), to = std::move(to)] { return diff(from, to); });
    QList<Change> changes = co_await future;
    co_return changes;
}

QString toMarkdown(const QList<Change> &changes)
{
    if (changes.isEmpty())
        return QStringLiteral("No changes.\n");
    QString out = QStringLiteral("## Changes (%1)\n").arg(changes.size());
    const auto none = [](WordRun::Kind, const QString &text) { return text; };
    for (const Change &change : changes) {
        out += QStringLiteral("\n### ") + change.label + QStringLiteral("\n\n`") + change.path
            + QStringLiteral("` \u2014 ") + kindWord(change.kind) + QStringLiteral("\n\n");
        if (!change.words.isEmpty()) {
            out += QStringLiteral("Word by word ({+inserted+}, [-deleted-]):\n\n")
                + quoted(marked(change.words, none), QStringLiteral("> ")) + QLatin1Char('\n');
            continue;
        }
        if (change.before)
            out += (change.after ? QStringLiteral("Before:\n\n") : QStringLiteral("Removed:\n\n"))
                + quoted(*change.before, QStringLiteral("> ")) + QStringLiteral("\n\n");
        if (change.after)
            out += (change.before ? QStringLiteral("After:\n\n") : QStringLiteral("Added:\n\n"))
                + quoted(*change.after, QStringLiteral("> ")) + QStringLiteral("\n\n");
        out.chop(1);
    }
    return out;
}

QJsonArray toJson(const QList<Change> &changes)
{
    QJsonArray out;
    const auto value = [](const std::optional<QString> &v) {
        return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
    };
    for (const Change &change : changes)
        out.append(QJsonObject {{QStringLiteral("path"), change.path},
            {QStringLiteral("label"), change.label},
            {QStringLiteral("kind"), kindWord(change.kind)},
            {QStringLiteral("before"), value(change.before)},
            {QStringLiteral("after"), value(change.after)}});
    return out;
}

QString toPlainText(const QList<Change> &changes, bool colour)
{
    if (changes.isEmpty())
        return QStringLiteral("No changes.\n");
    const auto paint = [colour](WordRun::Kind kind, const QString &text) {
        if (!colour)
            return text;
        return (kind == WordRun::Kind::inserted ? QStringLiteral("\x1b[32m")
                                                : QStringLiteral("\x1b[31m"))
            + text + QStringLiteral("\x1b[0m");
    };
    const QString indent = QStringLiteral("    ");
    QString out;
    for (const Change &change : changes) {
        out += change.label + QStringLiteral(" (") + change.path + QStringLiteral("): ")
            + kindWord(change.kind) + QLatin1Char('\n');
        if (!change.words.isEmpty()) {
            out += quoted(marked(change.words, paint), indent) + QLatin1Char('\n');
            continue;
        }
        if (change.before && change.after) {
            out += QStringLiteral("  before:\n")
                + quoted(paint(WordRun::Kind::deleted, *change.before), indent)
                + QStringLiteral("\n  after:\n")
                + quoted(paint(WordRun::Kind::inserted, *change.after), indent) + QLatin1Char('\n');
        } else if (change.before) {
            out += quoted(
                       paint(WordRun::Kind::deleted, kDeletedOpen + *change.before + kDeletedClose),
                       indent)
                + QLatin1Char('\n');
        } else if (change.after) {
            out += quoted(paint(WordRun::Kind::inserted,
                              kInsertedOpen + *change.after + kInsertedClose),
                       indent)
                + QLatin1Char('\n');
        }
    }
    return out;
}

} // namespace PackDiff
