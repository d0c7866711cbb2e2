#include "TextInputAccessibility.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QQuickItem>
#include <QQuickWindow>

namespace {

// The values of TextInput.echoMode that matter here.
constexpr int echoNormal = 0;

class TextInputAccessible : public QAccessibleObject,
                            public QAccessibleTextInterface,
                            public QAccessibleActionInterface
{
public:
    explicit TextInputAccessible(QObject *input)
        : QAccessibleObject(input)
    { }

    QWindow *window() const override
    {
        QQuickItem *input = item();
        return input ? input->window() : nullptr;
    }

    QAccessibleInterface *parent() const override
    {
        QQuickItem *input = item();
        if (!input)
            return nullptr;
        QQuickWindow *itemWindow = input->window();
        QQuickItem *root = itemWindow ? itemWindow->contentItem() : nullptr;
        for (QQuickItem *up = input->parentItem(); up && up != root; up = up->parentItem()) {
            if (QAccessibleInterface *found = QAccessible::queryAccessibleInterface(up))
                return found;
        }
        return itemWindow ? QAccessible::queryAccessibleInterface(itemWindow) : nullptr;
    }

    // A field is a leaf: its placeholder is its description, not a child.
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text kind) const override
    {
        switch (kind) {
        case QAccessible::Name: {
            // A field without a caption is named by its placeholder.
            const QString name = attachedText("name");
            return name.isEmpty() ? property("placeholderText").toString() : name;
        }
        case QAccessible::Description: {
            const QString description = attachedText("description");
            return description.isEmpty() ? property("placeholderText").toString() : description;
        }
        case QAccessible::Value:
            return shownText();
        default:
            return QString();
        }
    }

    QAccessible::Role role() const override { return QAccessible::EditableText; }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        QQuickItem *input = item();
        if (!input) {
            state.invalid = true;
            return state;
        }
        state.focusable = true;
        state.focused = input->hasActiveFocus();
        state.disabled = !input->isEnabled();
        state.invisible = !input->isVisible();
        state.readOnly = property("readOnly").toBool();
        state.editable = !state.readOnly;
        state.passwordEdit = masked();
        state.selectableText = !masked();
        return state;
    }

    QRect rect() const override
    {
        QQuickItem *input = item();
        if (!input || !input->window())
            return QRect();
        const QRectF scene = input->mapRectToScene(QRectF(0, 0, input->width(), input->height()));
        return QRect(
            input->window()->mapToGlobal(scene.topLeft().toPoint()), scene.size().toSize());
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface *>(this);
        return QAccessibleObject::interface_cast(type);
    }

    // QAccessibleTextInterface: every offset and every piece of text is of the
    // shown text, so a masked field yields nothing but its mask.
    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index != 0 || selectionCount() == 0)
            return;
        *start = property("selectionStart").toInt();
        *end = property("selectionEnd").toInt();
    }
    int selectionCount() const override
    {
        return property("selectionStart").toInt() != property("selectionEnd").toInt() ? 1 : 0;
    }
    void addSelection(int start, int end) override { select(start, end); }
    void removeSelection(int) override { QMetaObject::invokeMethod(object(), "deselect"); }
    void setSelection(int, int start, int end) override { select(start, end); }
    int cursorPosition() const override { return property("cursorPosition").toInt(); }
    void setCursorPosition(int position) override
    {
        if (object())
            object()->setProperty("cursorPosition", position);
    }
    QString text(int start, int end) const override
    {
        const QString shown = shownText();
        if (end < 0 || end > shown.size())
            end = int(shown.size());
        start = qBound(0, start, end);
        return shown.mid(start, end - start);
    }
    int characterCount() const override { return int(shownText().size()); }
    QRect characterRect(int offset) const override
    {
        QQuickItem *input = item();
        QRectF local;
        if (!input
            || !QMetaObject::invokeMethod(
                input, "positionToRectangle", Q_RETURN_ARG(QRectF, local), Q_ARG(int, offset))
            || !input->window())
            return QRect();
        const QRectF scene = input->mapRectToScene(local);
        return QRect(
            input->window()->mapToGlobal(scene.topLeft().toPoint()), scene.size().toSize());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        QQuickItem *input = item();
        if (!input || !input->window())
            return -1;
        const QPointF local = input->mapFromScene(input->window()->mapFromGlobal(point));
        // The nearest caret position on the line; TextInput offers no typed lookup.
        int nearest = -1;
        qreal best = 0;
        for (int offset = 0, count = characterCount(); offset <= count; ++offset) {
            QRectF caret;
            if (!QMetaObject::invokeMethod(
                    input, "positionToRectangle", Q_RETURN_ARG(QRectF, caret), Q_ARG(int, offset)))
                return -1;
            const qreal distance = qAbs(caret.x() - local.x());
            if (nearest < 0 || distance < best) {
                nearest = offset;
                best = distance;
            }
        }
        return nearest;
    }
    void scrollToSubstring(int, int) override { }
    QString attributes(int, int *start, int *end) const override
    {
        *start = 0;
        *end = characterCount();
        return QString();
    }

    // QAccessibleActionInterface: a screen reader moves the keyboard focus here.
    QStringList actionNames() const override { return {setFocusAction()}; }
    void doAction(const QString &name) override
    {
        if (QQuickItem *input = item(); input && name == setFocusAction())
            input->forceActiveFocus(Qt::OtherFocusReason);
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QQuickItem *item() const { return qobject_cast<QQuickItem *>(object()); }
    QVariant property(const char *name) const
    {
        return object() ? object()->property(name) : QVariant();
    }

    bool masked() const { return property("echoMode").toInt() != echoNormal; }

    // What the screen shows: the text, or one mask character per character.
    // Read anew on every call, so a field whose echo mode changes stays right.
    QString shownText() const
    {
        if (!masked())
            return property("text").toString();
        QString mask = property("passwordCharacter").toString().left(1);
        if (mask.isEmpty())
            mask = QStringLiteral("*");
        return mask.repeated(property("length").toInt());
    }

    // The Accessible attached object lives as a child of its item. Qt clears the
    // name of a masked field once accessibility is active; the placeholder stands in.
    QString attachedText(const char *name) const
    {
        const QObject *input = object();
        if (!input)
            return QString();
        for (const QObject *child : input->children()) {
            if (child->inherits("QQuickAccessibleAttached")) {
                if (const QString text = child->property(name).toString(); !text.isEmpty())
                    return text;
            }
        }
        return QString();
    }

    void select(int start, int end)
    {
        QMetaObject::invokeMethod(object(), "select", Q_ARG(int, start), Q_ARG(int, end));
    }
};

QAccessibleInterface *textInputFactory(const QString &, QObject *object)
{
    if (!object || !object->inherits("QQuickTextInput"))
        return nullptr;
    for (const QObject *child : object->children()) {
        if (child->inherits("QQuickAccessibleAttached") && child->property("ignored").toBool())
            return nullptr;
    }
    return new TextInputAccessible(object);
}

} // namespace

namespace TextInputAccessibility {

void install()
{
    static const bool installed = [] {
        QAccessible::installFactory(textInputFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace TextInputAccessibility
