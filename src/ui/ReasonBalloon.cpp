#include "ReasonBalloon.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

TReasonBalloon::TReasonBalloon(QWidget *Window)
    : QLabel(Window, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
{
    setObjectName(QStringLiteral("balReason"));
    setWordWrap(true);
    setTextFormat(Qt::PlainText); // a device's words are no markup
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setMargin(4);
    setForegroundRole(QPalette::ToolTipText);
    setBackgroundRole(QPalette::ToolTipBase);
    setAutoFillBackground(true);
    setAttribute(Qt::WA_ShowWithoutActivating);
    FHide.setSingleShot(true);
    connect(&FHide, &QTimer::timeout, this, &TReasonBalloon::Dismiss);
}

void TReasonBalloon::Popup(const QString &Text, QWidget *Anchor, int Ms)
{
    FWindow = Anchor->window();
    FWindow->installEventFilter(this);
    if (!FWindow->isVisible() || FWindow->isMinimized())
        return;
    setText(Text);
    // As wide as the window, as high as the text then needs.
    const int Width = FWindow->width() - 8;
    setFixedWidth(Width);
    setFixedHeight(heightForWidth(Width));
    Place();
    show();
    raise();
    FHide.start(Ms);
}

void TReasonBalloon::Place()
{
    // Beside the window's frame, where it hides none of its controls nor takes
    // the clicks meant for them: below, or above where the screen ends below.
    constexpr int Gap = 2;
    const QRect Frame = FWindow->frameGeometry();
    QRect Where(QPoint(Frame.center().x() - width() / 2, Frame.bottom() + 1 + Gap), size());
    if (const QScreen *Screen = FWindow->screen()) {
        const QRect Room = Screen->availableGeometry();
        if (Where.bottom() > Room.bottom() && Frame.top() - Room.top() > Room.bottom() - Frame.bottom())
            Where.moveBottom(Frame.top() - 1 - Gap);
        Where.moveLeft(qBound(Room.left(), Where.left(), Room.right() + 1 - width()));
        Where.moveTop(qBound(Room.top(), Where.top(), Room.bottom() + 1 - height()));
    }
    move(Where.topLeft());
}

void TReasonBalloon::Dismiss()
{
    FHide.stop();
    hide();
}

void TReasonBalloon::mousePressEvent(QMouseEvent *Event)
{
    Dismiss();
    Event->accept();
}

bool TReasonBalloon::eventFilter(QObject *Watched, QEvent *Event)
{
    if (Watched == FWindow && isVisible()) {
        switch (Event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
            Place();
            break;
        case QEvent::Hide:
            Dismiss();
            break;
        case QEvent::WindowStateChange:
            if (FWindow->isMinimized())
                Dismiss();
            break;
        default:
            break;
        }
    }
    return QLabel::eventFilter(Watched, Event);
}
