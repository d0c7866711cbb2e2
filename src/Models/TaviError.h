#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Base of every error the program raises. description() is the text the operator
// sees in the status line, as it stands: callers never add a prefix to it.
class TaviError : public std::exception
{
public:
    explicit TaviError(QString description)
        : m_description(std::move(description))
        , m_utf8(m_description.toUtf8())
    { }

    const QString &description() const noexcept { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

// A JSON text or value that does not read by the pack's (or an envelope's) rules.
// The description says where and what; it never quotes the document.
class JsonReadError : public TaviError
{
public:
    using TaviError::TaviError;
    // For a value that breaks the pack's rules: where it sits
    // ("modules.persona.languages", empty for the document itself) and what is
    // wrong with it ("is missing"), for tools that list errors by place.
    JsonReadError(QString description, QString path, QString problem)
        : TaviError(std::move(description))
        , m_path(std::move(path))
        , m_problem(std::move(problem))
    { }

    const QString &path() const noexcept { return m_path; }
    // Empty when the description says it all (a text that is not JSON at all).
    const QString &problem() const noexcept { return m_problem; }

    // The same error, its description behind `prefix`.
    JsonReadError prefixed(const QString &prefix, const QString &midSentenceDescription) const
    {
        return JsonReadError(prefix + midSentenceDescription, m_path, m_problem);
    }

private:
    QString m_path;
    QString m_problem;
};

// The text the operator reads for any failure: a TaviError's own description,
// else what the exception says.
inline QString errorDescription(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const TaviError &e) {
        return e.description();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}
