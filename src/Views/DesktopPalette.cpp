#include "DesktopPalette.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMetaEnum>
#include <QPalette>
#include <QPointer>
#include <QQuickWindow>

namespace {

// Copies every colour role of one group of `from` into the QML colour group
// `to`, whose properties carry the roles' names ("window", "buttonText", ...).
void copyGroup(const QPalette &from, QPalette::ColorGroup group, QObject *to)
{
    if (!to)
        return;
    const QMetaEnum roles = QMetaEnum::fromType<QPalette::ColorRole>();
    for (int i = 0; i < roles.keyCount(); ++i) {
        const auto role = QPalette::ColorRole(roles.value(i));
        if (role == QPalette::NoRole || role >= QPalette::NColorRoles)
            continue;
        QByteArray name(roles.key(i));
        name[0] = char(QChar::toLower(uint(name[0])));
        // Each write goes through the whole window: only the colours that differ.
        const QColor color = from.color(group, role);
        if (to->property(name.constData()).value<QColor>() != color)
            to->setProperty(name.constData(), color);
    }
}

void apply(QQuickWindow *window)
{
    QObject *palette = window->property("palette").value<QObject *>();
    if (!palette)
        return;
    const QPalette desktop = QGuiApplication::palette();
    // The palette's own roles stand for every group; then the groups that differ.
    copyGroup(desktop, QPalette::Active, palette);
    copyGroup(desktop, QPalette::Inactive, palette->property("inactive").value<QObject *>());
    copyGroup(desktop, QPalette::Disabled, palette->property("disabled").value<QObject *>());
}

class Follower : public QObject
{
public:
    explicit Follower(QQuickWindow *window)
        : QObject(window)
        , m_window(window)
    {
        setObjectName(name());
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && m_window)
            apply(m_window);
        return false;
    }

    static QString name() { return QStringLiteral("desktopPaletteFollower"); }

private:
    QPointer<QQuickWindow> m_window;
};

} // namespace

namespace DesktopPalette {

void follow(QQuickWindow *window)
{
    if (!window || window->findChild<QObject *>(Follower::name(), Qt::FindDirectChildrenOnly))
        return;
    apply(window);
    new Follower(window);
}

} // namespace DesktopPalette

void FollowDesktopPalette::classBegin()
{
    DesktopPalette::follow(qobject_cast<QQuickWindow *>(parent()));
}
