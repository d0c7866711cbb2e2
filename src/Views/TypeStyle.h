#pragma once

#include <QFont>
#include <QObject>
#include <QtQml/qqmlregistration.h>

class QJSEngine;
class QQmlEngine;

// The window's type styles as sizes relative to the font the text would have
// anyway. A desktop font given in pixels has no point size (it reads -1), so
// sizes are worked out in pixels, which every font has.
class TypeStyle : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(qreal caption MEMBER caption CONSTANT)
    Q_PROPERTY(qreal footnote MEMBER footnote CONSTANT)
    Q_PROPERTY(qreal subheadline MEMBER subheadline CONSTANT)
    Q_PROPERTY(qreal headline MEMBER headline CONSTANT)

public:
    static TypeStyle *create(QQmlEngine *, QJSEngine *);

    // `relative` times the pixel size of `base`, at least one pixel.
    Q_INVOKABLE static int pixelSize(const QFont &base, qreal relative);

    static constexpr qreal caption = 0.85;
    static constexpr qreal footnote = 0.9;
    static constexpr qreal subheadline = 0.95;
    static constexpr qreal headline = 1.1;
};
