#include "agent/ApprovalDialog.h"

#include "util/TextRules.h"

#include <QApplication>
#include <QDialog>
#include <QGlyphRun>
#include <QHBoxLayout>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QStyle>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <QtMath>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <unordered_map>

namespace vellmir {

namespace {

// Lines the title and the details take before they scroll.
constexpr int titleLines = 6;
constexpr int detailLines = 20;
constexpr int preferredWidth = 640;
constexpr qint64 allowDelayMs = 1000;
constexpr QChar leftToRightIsolate = QChar(0x2066);
constexpr QChar firstStrongIsolate = QChar(0x2068);
constexpr QChar popIsolate = QChar(0x2069);

// A read-only plain-text view whose lines wrap, inside words too, so the end of a long path or
// name is on screen; what does not fit scrolls.
QPlainTextEdit *textView(const QString &text, const QString &name)
{
    auto *view = new QPlainTextEdit;
    view->setObjectName(name);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    view->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view->setPlainText(text);
    return view;
}

// Whether `font`, with the fonts Qt falls back on, draws `codePoint` as a glyph that leaves ink.
bool inked(char32_t codePoint, const QFont &font)
{
    QTextLayout layout(QString::fromUcs4(&codePoint, 1), font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    bool ink = false;
    for (const QGlyphRun &run : layout.glyphRuns()) {
        for (const quint32 glyph : run.glyphIndexes()) {
            // Glyph 0 is the font's stand-in for a character it lacks: a box that looks the same
            // for every missing character.
            if (glyph == 0)
                return false;
            ink = ink || !run.rawFont().boundingRect(glyph).isEmpty();
        }
    }
    return ink;
}

// Whether `text`, laid out alone in `font`, keeps its ink inside its line's own box: marks piled
// on a letter, or a glyph taller than the line, would paint over the lines around it.
bool staysInLine(const QString &text, const QFont &font)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    QRectF ink;
    for (const QGlyphRun &run : layout.glyphRuns()) {
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> positions = run.positions();
        for (qsizetype i = 0; i < glyphs.size() && i < positions.size(); ++i)
            ink |= run.rawFont().boundingRect(glyphs.at(i)).translated(positions.at(i));
    }
    // Accented capitals reach a little above the line and low marks a little below it in common
    // fonts: a quarter of a line, which stays clear of the letters of the lines around.
    const qreal slack = line.height() / 4;
    return ink.isEmpty() || (ink.top() >= line.y() - slack && ink.bottom() <= line.y() + line.height() + slack);
}

// `text` with every character that the font shows as nothing, or as its box for a missing
// character, written out as TextRules does: what the rules cannot know, since it depends on
// the fonts here. The space, line breaks and the isolates around values are blank by design.
// A character whose ink would leave its line has its marks written out, and itself too when it
// still does.
QString inkedText(const QString &text, const QFont &font)
{
    std::unordered_map<char32_t, bool> seen;
    QHash<QString, QString> drawn; // each character with its marks as it is shown
    const auto writtenOut = [](char32_t codePoint) {
        return QStringLiteral("⟨") + TextRules::codePointName(codePoint) + QStringLiteral("⟩");
    };
    const auto shownCharacter = [&](const QString &character) {
        const QList<uint> codePoints = character.toUcs4();
        QString shown;
        bool checked = true; // only characters drawn as they are need their ink checked
        for (const char32_t codePoint : codePoints) {
            const bool blankByDesign = codePoint == u' ' || codePoint == u'\n'
                || codePoint == leftToRightIsolate.unicode() || codePoint == firstStrongIsolate.unicode()
                || codePoint == popIsolate.unicode();
            auto found = seen.find(codePoint);
            if (found == seen.end())
                found = seen.emplace(codePoint, blankByDesign || inked(codePoint, font)).first;
            if (found->second)
                shown += QString::fromUcs4(&codePoint, 1);
            else
                shown += writtenOut(codePoint);
            checked = checked && !blankByDesign;
        }
        if (!checked || staysInLine(shown, font))
            return shown;
        const char32_t base = codePoints.first();
        QString marks;
        for (qsizetype i = 1; i < codePoints.size(); ++i)
            marks += writtenOut(codePoints.at(i));
        const QString alone = QString::fromUcs4(&base, 1);
        return (seen[base] && staysInLine(alone, font) ? alone : writtenOut(base)) + marks;
    };
    QString shown;
    shown.reserve(text.size());
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = characters.toNextBoundary(); end > start; start = end, end = characters.toNextBoundary()) {
        const QString character = text.mid(start, end - start);
        auto found = drawn.find(character);
        if (found == drawn.end())
            found = drawn.insert(character, shownCharacter(character));
        shown += *found;
    }
    return shown;
}

// `text` with every isolated value that holds a "/" (a path, a repository's address) drawn left to
// right, each name between the slashes in its own direction: isolated as a whole, a value whose
// first name is right-to-left would turn around ("Documents/אב/~"), and two such names side by
// side would trade places. The isolates in the text are the ones TextRules::shown() kept: they
// pair up, and none is an agent's.
QString pathsLeftToRight(const QString &text)
{
    QString drawn;
    drawn.reserve(text.size());
    for (qsizetype at = 0; at < text.size();) {
        const qsizetype end = text.at(at) == firstStrongIsolate ? text.indexOf(popIsolate, at + 1) : -1;
        const QString value = end < 0 ? QString() : text.mid(at + 1, end - at - 1);
        if (!value.contains(u'/') || value.contains(firstStrongIsolate)) {
            drawn += text.at(at++);
            continue;
        }
        drawn += leftToRightIsolate;
        const QStringList names = value.split(u'/');
        for (qsizetype i = 0; i < names.size(); ++i) {
            if (i > 0)
                drawn += u'/';
            if (!names.at(i).isEmpty())
                drawn += firstStrongIsolate + names.at(i) + popIsolate;
        }
        drawn += popIsolate;
        at = end + 1;
    }
    return drawn;
}

// The height of `view` for text `textHeight` pixels high.
int framedHeight(const QPlainTextEdit &view, int textHeight)
{
    return textHeight + 2 * (view.frameWidth() + qCeil(view.document()->documentMargin())) + 2;
}

int viewHeight(const QPlainTextEdit &view, int lines)
{
    return framedHeight(view, lines * view.fontMetrics().lineSpacing());
}

// Keeps the answers other than the safe one out of reach of input not meant for them. A click
// counts only once the window has been on screen for a moment since it last came on screen, was
// exposed, got the focus or had the pointer come in: each may mean that a window over it (another
// program's, or a look-alike question) has just gone, so a click meant for that window, the second
// of a double-click, cannot land here. A key counts only on its own: after a pause both since then
// and since the key before it. Text typed for another window runs on into the question when it
// takes the keyboard, and whatever a key of that stream is (a letter, Tab, an arrow, whatever the
// desktop's theme gives a meaning), it neither takes the focus to a guarded button nor leaves it
// there: the guarded buttons take the focus only while a key that counts is handled, and a key
// that does not count gives the focus back to the safe answer before it goes anywhere. So a key on
// its own may bring the focus to a guarded button and only a later one on its own press it, and a
// click never gives it the focus. Return and Enter always mean the safe answer. Times are taken
// as events arrive, on `clock`. The buttons also look disabled while they cannot be used.
class ArmingGate : public QObject {
public:
    ArmingGate(QDialog *dialog, QPushButton *safe, QList<QPushButton *> guarded, SteadyClock clock,
        std::function<void()> exposed)
        : QObject(dialog)
        , m_dialog(dialog)
        , m_safe(safe)
        , m_guarded(std::move(guarded))
        , m_clock(std::move(clock))
        , m_exposed(std::move(exposed))
    {
        m_refresh.setSingleShot(true);
        connect(&m_refresh, &QTimer::timeout, this, &ArmingGate::refresh);
        dialog->windowHandle()->installEventFilter(this);
        for (QPushButton *button : std::as_const(m_guarded)) {
            button->installEventFilter(this);
            button->setEnabled(false);
        }
        takeFocusAway(false);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched->isWindowType()) {
            watchWindow(static_cast<QWindow *>(watched), event);
            return false;
        }
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            return !allowed(event);
        case QEvent::Shortcut:
            return true; // a mnemonic a theme gave it would answer in a stream of typing
        case QEvent::KeyPress:
            switch (static_cast<QKeyEvent *>(event)->key()) {
            case Qt::Key_Tab:
            case Qt::Key_Backtab:
            case Qt::Key_Escape:
            case Qt::Key_Left:
            case Qt::Key_Right:
            case Qt::Key_Up:
            case Qt::Key_Down:
                return false;
            case Qt::Key_Return:
            case Qt::Key_Enter:
                // Some themes (GNOME's) let these press the focused button: here they go to the
                // dialog, which gives the safe answer.
                QCoreApplication::sendEvent(m_dialog, event);
                return true;
            default:
                return !allowed(event);
            }
        default:
            return false;
        }
    }

private:
    void watchWindow(QWindow *window, QEvent *event)
    {
        switch (event->type()) {
        case QEvent::Expose:
            if (window->isExposed()) {
                arm();
                m_exposed();
            }
            break;
        case QEvent::Enter:
            arm();
            break;
        case QEvent::KeyPress: {
            // Every key the window gets, whichever widget it goes to, seen before that widget
            // handles it: whether it stands on its own decides where it may take the focus, and
            // whether the key after it may press a guarded button.
            const qint64 now = m_clock();
            m_keyCounts = armedAt(now) && (!m_lastKeyAt || now - *m_lastKeyAt >= allowDelayMs);
            m_lastKeyAt = now;
            if (m_keyCounts) {
                for (QPushButton *button : std::as_const(m_guarded))
                    button->setFocusPolicy(Qt::StrongFocus);
            } else {
                takeFocusAway(true);
            }
            refresh(); // Tab finds Allow only when it may be used
            break;
        }
        case QEvent::FocusIn:
            // Keys typed in another window went unseen: the window coming back counts as one of
            // a stream, so a Space in the same stream of typing finds it too soon, and finds the
            // focus on the safe answer.
            arm();
            m_lastKeyAt = m_clock();
            m_keyCounts = false;
            takeFocusAway(true);
            break;
        default:
            break;
        }
    }

    // The guarded buttons take the focus from no key and no click; with `fromGuarded`, one that
    // has it gives it to the safe answer.
    void takeFocusAway(bool fromGuarded)
    {
        for (QPushButton *button : std::as_const(m_guarded)) {
            button->setFocusPolicy(Qt::NoFocus);
            if (fromGuarded && button->hasFocus() && m_safe)
                m_safe->setFocus(Qt::OtherFocusReason);
        }
    }

    void arm()
    {
        m_exposedAt = m_clock();
        takeFocusAway(false);
        refresh();
    }

    bool allowed(QEvent *event)
    {
        refresh();
        // A key that did not come through the window (or came in a stream) has no verdict of its own.
        if (event->type() == QEvent::KeyPress)
            return std::exchange(m_keyCounts, false) && armedAt(m_clock());
        return armedAt(m_clock());
    }

    bool armedAt(qint64 now) const { return m_exposedAt && now - *m_exposedAt >= allowDelayMs; }

    void refresh()
    {
        const qint64 now = m_clock();
        const bool armed = armedAt(now);
        for (QPushButton *button : std::as_const(m_guarded))
            button->setEnabled(armed);
        if (!armed && m_exposedAt)
            m_refresh.start(static_cast<int>(allowDelayMs - (now - *m_exposedAt)));
    }

    QDialog *m_dialog;
    QPointer<QPushButton> m_safe;
    QList<QPushButton *> m_guarded;
    SteadyClock m_clock;
    std::function<void()> m_exposed;
    QTimer m_refresh;
    std::optional<qint64> m_exposedAt;
    std::optional<qint64> m_lastKeyAt;
    bool m_keyCounts = false;
};

// The height the text of `view` takes once wrapped to its width, its first `most` lines. A line
// can be higher than the font's: the isolates around values, for one, come from a fallback font.
int wrappedHeight(const QPlainTextEdit &view, int width, int most)
{
    QTextOption option;
    option.setWrapMode(view.wordWrapMode());
    int lines = 0;
    qreal height = 0;
    for (QTextBlock block = view.document()->begin(); block.isValid() && lines < most; block = block.next()) {
        QTextLayout layout(block.text(), view.font());
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid() && lines < most; line = layout.createLine()) {
            line.setLineWidth(width);
            height += line.height();
            ++lines;
        }
        layout.endLayout();
    }
    return std::max(qCeil(height), view.fontMetrics().lineSpacing());
}

// Sizes the dialog to its text, inside the screen's available area with its buttons on it: the
// details view gives way first.
void place(QDialog &dialog, QPlainTextEdit &title, QPlainTextEdit &details)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    // Room for the window manager's frame.
    const QSize largest = available.size() - QSize(24, 48);
    const int width = std::min(preferredWidth, largest.width());
    dialog.setMaximumSize(largest);
    const QMargins margins = dialog.layout()->contentsMargins();
    const int scrollBar = details.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &details);
    const int textWidth = width - margins.left() - margins.right() - 2 * details.frameWidth()
        - 2 * qCeil(details.document()->documentMargin()) - scrollBar;
    // The title is as high as its wrapped lines, up to titleLines; beside it is the icon. Set
    // before the layout first measures itself, which it then keeps.
    const int titleWidth
        = textWidth - dialog.layout()->spacing() - dialog.style()->pixelMetric(QStyle::PM_MessageBoxIconSize);
    title.setFixedHeight(framedHeight(title, wrappedHeight(title, std::max(1, titleWidth), titleLines)));
    const int text = wrappedHeight(details, std::max(1, textWidth), detailLines);
    const int extra = std::max(0, framedHeight(details, text) - details.minimumHeight());
    dialog.resize(width, std::min(dialog.minimumSizeHint().height() + extra, largest.height()));
    dialog.move(available.center() - QPoint(dialog.width() / 2, dialog.height() / 2));
}

} // namespace

// Shared with the posted calls, which may run after the dialog object is gone. `dialog` is only
// touched on the main thread; `generation` tells a posted show that a dismiss came after it.
struct ApprovalDialog::State {
    std::atomic<quint64> generation { 0 };
    QPointer<QDialog> dialog;
    SteadyClock clock;
};

ApprovalDialog::ApprovalDialog(SteadyClock clock)
    : m_state(std::make_shared<State>())
{
    m_state->clock = clock ? std::move(clock) : [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
}

ApprovalDialog::~ApprovalDialog()
{
    dismiss();
}

namespace {

QDialog *buildDialog(const ApprovalPrompt::Alert &alert, const std::function<void(int)> &answered)
{
    auto *dialog = new QDialog;
    dialog->setObjectName(QStringLiteral("approvalDialog"));
    // The question's words are an agent's: they stay inside the dialog, never in the title bar.
    dialog->setWindowTitle(QStringLiteral("Vellmir"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
    // The same layout in every language and theme: the buttons' order too.
    dialog->setLayoutDirection(Qt::LeftToRight);

    auto *icon = new QLabel;
    const int iconSize = dialog->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, dialog);
    icon->setPixmap(dialog->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop);
    // Every text is plain: markup in an agent's words shows as typed, so nothing can hide or fake
    // a line of the request.
    QPlainTextEdit *title = textView(QString(), QStringLiteral("approvalTitle"));
    title->setFrameShape(QFrame::NoFrame);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    title->setPlainText(inkedText(pathsLeftToRight(alert.messageText), bold));
    title->viewport()->setBackgroundRole(QPalette::Window);
    title->viewport()->setAutoFillBackground(false);
    QPlainTextEdit *details = textView(QString(), QStringLiteral("approvalDetails"));
    details->setPlainText(inkedText(pathsLeftToRight(alert.informativeText), details->font()));
    details->setMinimumHeight(viewHeight(*details, 3));

    // The buttons in one order whatever the desktop's theme would choose, from the right-hand end
    // in the alert's order: the safe answer sits where a click meant for a theme's usual place of
    // the other answer would go.
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    QList<QPushButton *> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        auto *button = new QPushButton(alert.buttons.at(i));
        button->setObjectName(QStringLiteral("approvalButton%1").arg(i));
        row->insertWidget(1, button);
        // The default answer is the safe one. Return always means it, wherever the focus went before.
        const bool safe = i == alert.defaultButton;
        button->setAutoDefault(false);
        button->setDefault(safe);
        button->setEnabled(safe);
        buttons.append(button);
        QObject::connect(button, &QPushButton::clicked, dialog, [dialog, i] { dialog->done(static_cast<int>(i) + 1); });
    }
    // Escape and the window's close button: done(0), the safe answer.
    QObject::connect(
        dialog, &QDialog::finished, dialog, [answered](int result) { answered(result > 0 ? result - 1 : -1); });

    auto *top = new QHBoxLayout;
    top->addWidget(icon);
    top->addWidget(title, 1);
    auto *layout = new QVBoxLayout(dialog);
    layout->addLayout(top);
    layout->addWidget(details, 1);
    layout->addLayout(row);
    // Tab goes through the buttons in the alert's order, from the safe answer on.
    for (qsizetype i = 1; i < buttons.size(); ++i)
        QWidget::setTabOrder(buttons.at(i - 1), buttons.at(i));
    if (alert.defaultButton >= 0 && alert.defaultButton < buttons.size())
        buttons.at(alert.defaultButton)->setFocus();
    place(*dialog, *title, *details);
    return dialog;
}

} // namespace

void ApprovalDialog::show(const Alert &alert, std::function<void(int)> answered, std::function<void()> shown)
{
    const quint64 generation = ++m_state->generation;
    QMetaObject::invokeMethod(
        qApp,
        [state = m_state, alert, answered = std::move(answered), shown = std::move(shown), generation] {
            if (state->generation != generation)
                return; // dismissed before the main thread got to it
            QDialog *dialog = buildDialog(alert, answered);
            state->dialog = dialog;
            dialog->winId(); // the window exists, so it is watched from its first exposure
            QPushButton *safe = nullptr;
            QList<QPushButton *> unsafe;
            for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
                if (button->isDefault())
                    safe = button;
                else
                    unsafe.append(button);
            }
            new ArmingGate(dialog, safe, unsafe, state->clock, shown);
            dialog->show();
            dialog->raise();
            dialog->activateWindow();
        },
        Qt::QueuedConnection);
}

void ApprovalDialog::dismiss()
{
    ++m_state->generation;
    QMetaObject::invokeMethod(
        qApp,
        [state = m_state] {
            if (QDialog *dialog = state->dialog) {
                dialog->disconnect(); // taken away unanswered: no answer is reported
                dialog->close();
            }
            state->dialog.clear();
        },
        Qt::QueuedConnection);
}

} // namespace vellmir
