#include "PackHistory.h"

#include "JsonRead.h"
#include "PackAPIError.h"
#include "ServiceExchange.h"

namespace {

const QString historyPath = QStringLiteral("/api/capability-packs/history");

[[noreturn]] void unreadable(const QString &why)
{
    throw JsonReadError(QStringLiteral("The service's history could not be read: ") + why);
}

std::optional<QString> text(simdjson::dom::object object, const char *key, const QString &path)
{
    try {
        return JsonRead::optionalString(object, key, path);
    } catch (const JsonReadError &error) {
        unreadable(JsonRead::midSentence(error.description()));
    }
}

} // namespace

PackHistory PackHistory::fromJson(QByteArrayView body)
{
    std::optional<JsonRead::Document> document;
    simdjson::dom::object root;
    try {
        document.emplace(body);
        root = JsonRead::object(document->root(), QString());
    } catch (const JsonReadError &error) {
        unreadable(JsonRead::midSentence(error.description()));
    }
    PackHistory history;
    history.liveVersion = text(root, "live_version", QString());
    const auto versions = JsonRead::member(root, "versions");
    simdjson::dom::array rows;
    if (!versions || versions->get_array().get(rows) != simdjson::SUCCESS)
        unreadable(QStringLiteral("versions must be a list"));
    qsizetype index = 0;
    for (simdjson::dom::element row : rows) {
        const QString path = QStringLiteral("versions[%1]").arg(index++);
        simdjson::dom::object object;
        if (row.get_object().get(object) != simdjson::SUCCESS)
            unreadable(path + QStringLiteral(" must be an object"));
        Entry entry;
        const auto version = text(object, "version", path);
        if (!version)
            unreadable(path + QStringLiteral(".version is missing"));
        entry.version = *version;
        entry.parentVersion = text(object, "parent_version", path);
        entry.author = text(object, "author", path);
        entry.createdAt = text(object, "created_at", path);
        entry.coachModel = text(object, "coach_model", path);
        entry.coachInstruction = text(object, "coach_instruction", path);
        if (const auto chain = JsonRead::member(object, "in_live_chain")) {
            bool value = false;
            if (chain->get_bool().get(value) != simdjson::SUCCESS)
                unreadable(path + QStringLiteral(".in_live_chain must be true or false"));
            entry.inLiveChain = value;
        }
        history.versions.append(entry);
    }
    return history;
}

QCoro::Task<PackHistory> fetchPackHistory(PackAPI api)
{
    const QUrl base = api.baseURL;
    QCoro::Task<QByteArray> asking
        = serviceExchange(std::move(api), QByteArrayLiteral("GET"), historyPath, std::nullopt);
    // The failure is taken out of the coroutine's try block before it is looked
    // at: with GCC 12, an exception that leaves a try block around a co_await
    // without being caught there leaks the awaited frame.
    std::exception_ptr failure;
    QByteArray body;
    try {
        body = co_await std::move(asking);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const PackAPIError &error) {
            // A service without a history answers as for any unknown address.
            if (error.status() == 404 || error.status() == 405 || error.status() == 501)
                throw HistoryUnavailableError(
                    QStringLiteral("The pack service at %1 keeps no history of published "
                                   "versions (it answered %2 for %3).")
                        .arg(base.toString(QUrl::RemoveUserInfo), QString::number(error.status()),
                            historyPath));
            throw;
        }
    }
    co_return PackHistory::fromJson(body);
}
