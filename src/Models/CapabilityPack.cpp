#include "CapabilityPack.h"

#include "JsonRead.h"

#include <QJsonArray>
#include <QScopeGuard>

#include <charconv>
#include <cstring>
#include <vector>

namespace {

template<typename Text> CapabilityPack readPack(const Text &jsonText)
{
    std::optional<JsonRead::Document> document;
    try {
        document.emplace(jsonText);
    } catch (const JsonReadError &error) {
        throw error.prefixed(QStringLiteral("Could not read the capability pack: "),
            JsonRead::midSentence(error.description()));
    }
    return JsonRead::capabilityPack(*document, document->root(), QString());
}

} // namespace

CapabilityPack CapabilityPack::fromJson(QByteArrayView jsonText)
{
    return readPack(jsonText);
}

CapabilityPack CapabilityPack::fromJson(const QByteArray &jsonText)
{
    return readPack(jsonText);
}

namespace {

// Writes compact JSON straight from the records into one byte buffer. Going
// through QJsonObject would build a second tree of the whole pack first.
class JsonWriter
{
public:
    QByteArray take()
    {
        m_out.resize(m_used);
        return std::move(m_out);
    }

    void raw(char c)
    {
        reserve(1);
        m_out.data()[m_used++] = c;
    }

    // `key` is an ASCII literal of ours: no escaping needed. Writes `,"key":` or
    // `"key":` for the first member of an object.
    void key(const char *k, bool &first)
    {
        const size_t n = std::strlen(k);
        reserve(static_cast<qsizetype>(n) + 4);
        char *p = m_out.data() + m_used;
        if (!first)
            *p++ = ',';
        first = false;
        *p++ = '"';
        std::memcpy(p, k, n);
        p += n;
        *p++ = '"';
        *p++ = ':';
        m_used = p - m_out.data();
    }

    void integer(qint64 value)
    {
        reserve(24);
        char *p = m_out.data() + m_used;
        p = std::to_chars(p, p + 24, value).ptr;
        m_used = p - m_out.data();
    }

    void string(const QString &s)
    {
        const char16_t *u = reinterpret_cast<const char16_t *>(s.constData());
        const qsizetype n = s.size();
        // Worst case per UTF-16 unit: six bytes for \u00XX; a surrogate pair
        // (two units) takes four.
        reserve(n * 6 + 2);
        char *p = m_out.data() + m_used;
        *p++ = '"';
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t c = u[i];
            if (c < 0x80) {
                if (c >= 0x20 && c != u'"' && c != u'\\') {
                    *p++ = static_cast<char>(c);
                    continue;
                }
                *p++ = '\\';
                switch (c) {
                case u'"':
                    *p++ = '"';
                    break;
                case u'\\':
                    *p++ = '\\';
                    break;
                case u'\n':
                    *p++ = 'n';
                    break;
                case u'\r':
                    *p++ = 'r';
                    break;
                case u'\t':
                    *p++ = 't';
                    break;
                case u'\b':
                    *p++ = 'b';
                    break;
                case u'\f':
                    *p++ = 'f';
                    break;
                default:
                    static constexpr char hex[] = "0123456789abcdef";
                    *p++ = 'u';
                    *p++ = '0';
                    *p++ = '0';
                    *p++ = hex[c >> 4];
                    *p++ = hex[c & 0xf];
                }
            } else if (c < 0x800) {
                *p++ = static_cast<char>(0xc0 | (c >> 6));
                *p++ = static_cast<char>(0x80 | (c & 0x3f));
            } else if (c >= 0xd800 && c <= 0xdbff && i + 1 < n && u[i + 1] >= 0xdc00
                && u[i + 1] <= 0xdfff) {
                const char32_t cp = 0x10000 + ((char32_t(c) - 0xd800) << 10) + (u[i + 1] - 0xdc00);
                ++i;
                *p++ = static_cast<char>(0xf0 | (cp >> 18));
                *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
                *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
                *p++ = static_cast<char>(0x80 | (cp & 0x3f));
            } else {
                // A lone surrogate cannot be written as UTF-8 and, escaped, would be
                // refused on reading; the replacement character keeps the text readable.
                const char16_t v = (c >= 0xd800 && c <= 0xdfff) ? char16_t(0xfffd) : c;
                *p++ = static_cast<char>(0xe0 | (v >> 12));
                *p++ = static_cast<char>(0x80 | ((v >> 6) & 0x3f));
                *p++ = static_cast<char>(0x80 | (v & 0x3f));
            }
        }
        *p++ = '"';
        m_used = p - m_out.data();
    }

    void stringList(const QList<QString> &list)
    {
        raw('[');
        bool first = true;
        for (const QString &s : list) {
            if (!first)
                raw(',');
            first = false;
            string(s);
        }
        raw(']');
    }

    template<typename T, typename WriteOne> void list(const QList<T> &list, WriteOne writeOne)
    {
        raw('[');
        bool first = true;
        for (const T &element : list) {
            if (!first)
                raw(',');
            first = false;
            writeOne(*this, element);
        }
        raw(']');
    }

private:
    void reserve(qsizetype extra)
    {
        if (m_out.size() - m_used >= extra)
            return;
        m_out.resize(std::max(m_out.size() * 2, m_used + extra + 4096));
    }

    QByteArray m_out;
    qsizetype m_used = 0;
};

using Pack = CapabilityPack;

// Members go out in the documented order: required always, optional only when
// present (even when empty), null never.
struct Members
{
    JsonWriter &w;
    bool first = true;

    Members(JsonWriter &writer)
        : w(writer)
    {
        w.raw('{');
    }
    ~Members() { w.raw('}'); }
    Members(const Members &) = delete;
    Members &operator=(const Members &) = delete;

    void text(const char *k, const QString &v)
    {
        w.key(k, first);
        w.string(v);
    }
    void text(const char *k, const std::optional<QString> &v)
    {
        if (v)
            text(k, *v);
    }
    void texts(const char *k, const QList<QString> &v)
    {
        w.key(k, first);
        w.stringList(v);
    }
    void integer(const char *k, qint64 v)
    {
        w.key(k, first);
        w.integer(v);
    }
};

void write(JsonWriter &w, const Pack::NLUExample &v)
{
    Members m(w);
    m.text("user", v.user);
    m.text("intent", v.intent);
    m.text("notes", v.notes);
}

void write(JsonWriter &w, const Pack::ExampleTurn &v)
{
    Members m(w);
    m.text("user", v.user);
    m.text("assistant", v.assistant);
    m.text("why", v.why);
}

void write(JsonWriter &w, const Pack::GuardRow &v)
{
    Members m(w);
    m.text("action", v.action);
    m.text("level", v.level);
}

template<typename T> void writeList(JsonWriter &w, const QList<T> &list)
{
    w.list(list, [](JsonWriter &out, const T &element) { write(out, element); });
}

void write(JsonWriter &w, const Pack::Modules &v)
{
    Members m(w);
    {
        w.key("persona", m.first);
        const Pack::Persona &p = v.persona;
        Members o(w);
        o.text("name", p.name);
        o.text("role", p.role);
        o.text("voice", p.voice);
        o.texts("languages", p.languages);
        o.text("address_fallback", p.addressFallback);
    }
    {
        w.key("nlu", m.first);
        const Pack::NLU &n = v.nlu;
        Members o(w);
        o.texts("intents", n.intents);
        o.text("schema_hint", n.schemaHint);
        if (n.examples) {
            w.key("examples", o.first);
            writeList(w, *n.examples);
        }
    }
    {
        w.key("reply_rules", m.first);
        const Pack::ReplyRules &r = v.replyRules;
        Members o(w);
        o.text("system_preamble", r.systemPreamble);
        o.texts("hard_rules", r.hardRules);
        o.text("cta", r.cta);
        o.text("style", r.style);
        o.text("markdown", r.markdown);
        o.integer("max_words", r.maxWords);
    }
    {
        w.key("few_shot", m.first);
        const Pack::FewShot &f = v.fewShot;
        Members o(w);
        if (f.good) {
            w.key("good", o.first);
            writeList(w, *f.good);
        }
        if (f.bad) {
            w.key("bad", o.first);
            writeList(w, *f.bad);
        }
    }
    {
        w.key("guardrails", m.first);
        const Pack::Guardrails &g = v.guardrails;
        Members o(w);
        o.text("confirm_copy", g.confirmCopy);
        w.key("matrix", o.first);
        writeList(w, g.matrix);
        o.texts("deny", g.deny);
    }
}

// The same document as Qt JSON values, for request bodies.
QJsonArray jsonArray(const QList<QString> &list)
{
    QJsonArray a;
    for (const QString &s : list)
        a.append(s);
    return a;
}

void put(QJsonObject &o, const char *k, const std::optional<QString> &v)
{
    if (v)
        o.insert(QLatin1String(k), *v);
}

QJsonObject jsonObject(const Pack::NLUExample &v)
{
    QJsonObject o {{QLatin1String("user"), v.user}, {QLatin1String("intent"), v.intent}};
    put(o, "notes", v.notes);
    return o;
}

QJsonObject jsonObject(const Pack::ExampleTurn &v)
{
    QJsonObject o {{QLatin1String("user"), v.user}, {QLatin1String("assistant"), v.assistant}};
    put(o, "why", v.why);
    return o;
}

QJsonObject jsonObject(const Pack::GuardRow &v)
{
    return QJsonObject {{QLatin1String("action"), v.action}, {QLatin1String("level"), v.level}};
}

template<typename T> QJsonArray jsonArray(const QList<T> &list)
{
    QJsonArray a;
    for (const T &element : list)
        a.append(jsonObject(element));
    return a;
}

} // namespace

QByteArray CapabilityPack::toJson() const
{
    JsonWriter w;
    {
        Members m(w);
        m.text("pack_id", packId);
        m.text("version", version);
        m.text("status", status);
        m.text("parent_version", parentVersion);
        m.texts("locked_invariants", lockedInvariants);
        w.key("modules", m.first);
        write(w, modules);
        if (provenance) {
            w.key("provenance", m.first);
            Members p(w);
            p.text("author", provenance->author);
            p.text("coach_model", provenance->coachModel);
            p.text("coach_instruction", provenance->coachInstruction);
            p.text("updated_at", provenance->updatedAt);
        }
    }
    return w.take();
}

QJsonObject CapabilityPack::toJsonObject() const
{
    const auto key = [](const char *k) { return QLatin1String(k); };

    const Persona &p = modules.persona;
    QJsonObject persona {{key("name"), p.name}, {key("role"), p.role}, {key("voice"), p.voice},
        {key("languages"), jsonArray(p.languages)}};
    put(persona, "address_fallback", p.addressFallback);

    const NLU &n = modules.nlu;
    QJsonObject nlu {{key("intents"), jsonArray(n.intents)}, {key("schema_hint"), n.schemaHint}};
    if (n.examples)
        nlu.insert(key("examples"), jsonArray(*n.examples));

    const ReplyRules &r = modules.replyRules;
    QJsonObject replyRules {{key("hard_rules"), jsonArray(r.hardRules)}, {key("cta"), r.cta},
        {key("max_words"), r.maxWords}};
    put(replyRules, "system_preamble", r.systemPreamble);
    put(replyRules, "style", r.style);
    put(replyRules, "markdown", r.markdown);

    QJsonObject fewShot;
    if (modules.fewShot.good)
        fewShot.insert(key("good"), jsonArray(*modules.fewShot.good));
    if (modules.fewShot.bad)
        fewShot.insert(key("bad"), jsonArray(*modules.fewShot.bad));

    const Guardrails &g = modules.guardrails;
    QJsonObject guardrails {{key("matrix"), jsonArray(g.matrix)}, {key("deny"), jsonArray(g.deny)}};
    put(guardrails, "confirm_copy", g.confirmCopy);

    QJsonObject root {{key("pack_id"), packId}, {key("version"), version}, {key("status"), status},
        {key("locked_invariants"), jsonArray(lockedInvariants)},
        {key("modules"),
            QJsonObject {{key("persona"), persona}, {key("nlu"), nlu},
                {key("reply_rules"), replyRules}, {key("few_shot"), fewShot},
                {key("guardrails"), guardrails}}}};
    put(root, "parent_version", parentVersion);
    if (provenance) {
        QJsonObject o;
        put(o, "author", provenance->author);
        put(o, "coach_model", provenance->coachModel);
        put(o, "coach_instruction", provenance->coachInstruction);
        put(o, "updated_at", provenance->updatedAt);
        root.insert(key("provenance"), o);
    }
    return root;
}

QString CapabilityPack::taviInstructions(const QString &factsJSON) const
{
    const ReplyRules &rules = modules.replyRules;
    QString result;
    if (rules.systemPreamble)
        result += *rules.systemPreamble;
    else
        result += QLatin1String("You are ") + modules.persona.name + QLatin1Char('.');
    result += QLatin1String("\nVoice: ") + modules.persona.voice;
    result += QLatin1String("\nRules (hard):\n");
    for (qsizetype i = 0; i < rules.hardRules.size(); ++i) {
        if (i > 0)
            result += QLatin1Char('\n');
        result += QLatin1String("- ") + rules.hardRules[i];
    }
    result += QLatin1String("\n- ") + rules.cta;
    result += QLatin1String("\nGrounded facts JSON (do not invent missing fields):\n");
    result += factsJSON;
    result += QLatin1String("\nWrite Tavi's reply now (no preamble).");
    return result;
}
