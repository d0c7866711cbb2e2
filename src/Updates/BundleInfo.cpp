#include "BundleInfo.h"

#include "BundleInfoValues.h"

#include <optional>

namespace {

std::optional<QVariantMap> &overridden()
{
    static std::optional<QVariantMap> dictionary;
    return dictionary;
}

} // namespace

QVariantMap BundleInfo::infoDictionary()
{
    if (overridden())
        return *overridden();
    return {
        {QStringLiteral("CFBundleName"), QStringLiteral("Vuzev Tavi")},
        {QStringLiteral("CFBundleShortVersionString"), QStringLiteral(TAVI_SHORT_VERSION)},
        {QStringLiteral("CFBundleVersion"), QStringLiteral(TAVI_BUILD_NUMBER)},
        {QStringLiteral("SUFeedURL"), QStringLiteral(TAVI_FEED_URL)},
        {QStringLiteral("SUPublicEDKey"), QStringLiteral(TAVI_PUBLIC_ED_KEY)},
        {QStringLiteral("SUScheduledCheckInterval"), TAVI_CHECK_INTERVAL},
        {QStringLiteral("SUEnableAutomaticChecks"), TAVI_ENABLE_AUTOMATIC_CHECKS},
    };
}

void BundleInfo::overrideForTesting(const QVariantMap &dictionary)
{
    overridden() = dictionary;
}

void BundleInfo::resetForTesting()
{
    overridden().reset();
}

std::optional<QString> BundleInfo::text(const QString &key)
{
    const QVariant value = infoDictionary().value(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}
