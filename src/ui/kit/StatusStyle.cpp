#include "kit/StatusStyle.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QProgressBar>
#include <QStyle>
#include <QWidget>

namespace vellmir {

namespace {

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

enum class Glyph { none, check, cross, question, exclamation, info, plus, minus };

struct Symbol {
    const char *name;
    Glyph glyph;
    bool triangle;
    bool filled;
    bool shield = false;
};

constexpr Symbol symbols[] = {
    { "checkmark.circle.fill", Glyph::check, false, true },
    { "xmark.circle.fill", Glyph::cross, false, true },
    { "questionmark.circle.fill", Glyph::question, false, true },
    { "exclamationmark.triangle.fill", Glyph::exclamation, true, true },
    { "info.circle", Glyph::info, false, false },
    { "plus.circle.fill", Glyph::plus, false, true },
    { "minus.circle.fill", Glyph::minus, false, true },
    { "exclamationmark.shield.fill", Glyph::exclamation, false, true, true },
    { "circle.fill", Glyph::none, false, true },
};

const Symbol *findSymbol(const QString &name)
{
    for (const Symbol &symbol : symbols) {
        if (name == QLatin1StringView(symbol.name))
            return &symbol;
    }
    return nullptr;
}

void drawText(QPainter &painter, const QRectF &box, const QString &text, const QColor &color, double size)
{
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(qMax(1, int(size)));
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(box, Qt::AlignCenter, text);
}

QPixmap draw(const Symbol &symbol, const QColor &color, int size, qreal ratio)
{
    QPixmap pixmap(int(size * ratio), int(size * ratio));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const QRectF box(0.5, 0.5, s - 1, s - 1);
    const QColor ink = symbol.filled ? QColor(Qt::white) : color;

    if (symbol.shield) {
        QPainterPath path;
        path.moveTo(s / 2, 0.5);
        path.cubicTo(s * 0.68, s * 0.12, s * 0.84, s * 0.16, s - 1, s * 0.16);
        path.cubicTo(s - 1, s * 0.62, s * 0.78, s * 0.86, s / 2, s - 0.5);
        path.cubicTo(s * 0.22, s * 0.86, 1, s * 0.62, 1, s * 0.16);
        path.cubicTo(s * 0.16, s * 0.16, s * 0.32, s * 0.12, s / 2, 0.5);
        path.closeSubpath();
        painter.fillPath(path, color);
    } else if (symbol.triangle) {
        QPainterPath path;
        path.moveTo(s / 2, 0.5);
        path.lineTo(s - 0.5, s - 1);
        path.lineTo(0.5, s - 1);
        path.closeSubpath();
        painter.fillPath(path, color);
    } else if (symbol.filled) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(box);
    } else {
        painter.setPen(QPen(color, qMax(1.0, s / 14)));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(box.adjusted(0.5, 0.5, -0.5, -0.5));
    }

    QPen pen(ink, qMax(1.5, s / 8), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    switch (symbol.glyph) {
    case Glyph::check: {
        painter.setPen(pen);
        QPainterPath path;
        path.moveTo(s * 0.28, s * 0.52);
        path.lineTo(s * 0.44, s * 0.68);
        path.lineTo(s * 0.72, s * 0.34);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
        break;
    }
    case Glyph::cross:
        painter.setPen(pen);
        painter.drawLine(QPointF(s * 0.33, s * 0.33), QPointF(s * 0.67, s * 0.67));
        painter.drawLine(QPointF(s * 0.67, s * 0.33), QPointF(s * 0.33, s * 0.67));
        break;
    case Glyph::question:
        drawText(painter, box, QStringLiteral("?"), ink, s * 0.7);
        break;
    case Glyph::exclamation:
        drawText(painter, box.adjusted(0, s * 0.15, 0, 0), QStringLiteral("!"), ink, s * 0.6);
        break;
    case Glyph::info:
        drawText(painter, box, QStringLiteral("i"), ink, s * 0.65);
        break;
    case Glyph::plus:
        // A minus with a vertical bar across it.
        painter.setPen(pen);
        painter.drawLine(QPointF(s * 0.5, s * 0.3), QPointF(s * 0.5, s * 0.7));
        [[fallthrough]];
    case Glyph::minus:
        painter.setPen(pen);
        painter.drawLine(QPointF(s * 0.3, s * 0.5), QPointF(s * 0.7, s * 0.5));
        break;
    case Glyph::none:
        break;
    }
    return pixmap;
}

} // namespace

QColor StatusStyle::color(StatusTone tone, const QPalette &palette)
{
    const bool dark = isDark(palette);
    switch (tone) {
    case StatusTone::success:
        return dark ? QColor(48, 209, 88) : QColor(40, 167, 69);
    case StatusTone::warning:
        return dark ? QColor(255, 159, 10) : QColor(230, 126, 0);
    case StatusTone::failure:
        return dark ? QColor(255, 69, 58) : QColor(215, 40, 40);
    case StatusTone::secondary:
        return palette.color(QPalette::PlaceholderText);
    case StatusTone::normal:
        break;
    }
    return palette.color(QPalette::WindowText);
}

QString StatusStyle::symbol(StatusTone tone)
{
    switch (tone) {
    case StatusTone::success:
        return QStringLiteral("checkmark.circle.fill");
    case StatusTone::failure:
        return QStringLiteral("xmark.circle.fill");
    default:
        return {};
    }
}

bool StatusStyle::isKnownSymbol(const QString &name)
{
    return findSymbol(name) != nullptr;
}

QIcon StatusStyle::symbolIcon(const QString &name, const QColor &color, int size)
{
    const Symbol *symbol = findSymbol(name);
    if (!symbol)
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxQuestion);
    QIcon icon;
    // Both ratios, so the icon is sharp on ordinary and on high-density screens.
    icon.addPixmap(draw(*symbol, color, size, 1.0));
    icon.addPixmap(draw(*symbol, color, size, 2.0));
    return icon;
}

void StatusStyle::applyTone(QWidget &widget, StatusTone tone)
{
    QPalette palette = widget.palette();
    const QPalette base = widget.parentWidget() ? widget.parentWidget()->palette() : QApplication::palette();
    const QColor colour = tone == StatusTone::normal ? base.color(QPalette::WindowText) : color(tone, base);
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    // A row refreshed with the tone it has keeps its palette: setting one tells the widget and
    // its children again.
    if (widget.testAttribute(Qt::WA_SetPalette) && palette == widget.palette())
        return;
    widget.setPalette(palette);
}

QFont StatusStyle::captionFont(const QFont &base)
{
    QFont font = base;
    if (base.pointSizeF() > 0)
        font.setPointSizeF(qMax(7.0, base.pointSizeF() * 0.85));
    else
        font.setPixelSize(qMax(9, int(base.pixelSize() * 0.85)));
    return font;
}

QFont StatusStyle::headlineFont(const QFont &base)
{
    QFont font = base;
    font.setBold(true);
    return font;
}

namespace {

// Qt's own accessible for a progress bar has a value, which screen readers offer to increase
// and decrease; this one reads the percentage as text instead.
class ProgressAccessible : public QAccessibleWidget {
public:
    explicit ProgressAccessible(QWidget *bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar)
    {
    }

    QString text(QAccessible::Text kind) const override
    {
        if (kind != QAccessible::Value)
            return QAccessibleWidget::text(kind);
        const auto *bar = static_cast<const QProgressBar *>(widget());
        if (bar->maximum() <= bar->minimum())
            return QString(); // busy, for as long as it takes
        return QString::number(qRound(100.0 * (bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum())))
            + u'%';
    }
};

QAccessibleInterface *progressAccessible(const QString &className, QObject *object)
{
    if (className != QLatin1String("QProgressBar") || !object || !object->isWidgetType())
        return nullptr;
    return new ProgressAccessible(static_cast<QWidget *>(object));
}

} // namespace

void StatusStyle::nameProgress(QProgressBar &bar, const QString &name)
{
    static const bool installed = [] {
        QAccessible::installFactory(progressAccessible);
        return true;
    }();
    Q_UNUSED(installed);
    bar.setAccessibleName(name);
}

QProgressBar *StatusStyle::spinner(QWidget *parent, const char *name)
{
    auto *bar = new QProgressBar(parent);
    nameProgress(*bar, QStringLiteral("In progress"));
    if (name)
        bar->setObjectName(QLatin1StringView(name));
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setMaximumSize(40, QFontMetrics(parent->font()).height() / 2 + 4);
    return bar;
}

} // namespace vellmir
