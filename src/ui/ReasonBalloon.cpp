#include "ReasonBalloon.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

TReasonBalloon::TReasonBalloon(QWidget *Window)
    : QLabel(Window, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
{
    setObjectName(QStringLiteral("balReason"));
    setWordWrap(true);
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
    setText(Text);
    // As wide as the window, as high as the text then needs.
    const int Width = Anchor->window()->width() - 8;
    setFixedWidth(Width);
    setFixedHeight(heightForWidth(Width));
    // Just below the window, where it hides no control; above the anchor
    // when the screen ends there.
    const QWidget *Window = Anchor->window();
    const QPoint Below = Window->mapToGlobal(QPoint((Window->width() - Width) / 2, Window->height() + 2));
    QRect Place(Below, size());
    if (const QScreen *Screen = Anchor->screen()) {
        const QRect Room = Screen->availableGeometry();
        if (Place.bottom() > Room.bottom())
            Place.moveBottom(Anchor->mapToGlobal(QPoint(0, 0)).y() - 2);
        Place.moveLeft(qBound(Room.left(), Place.left(), Room.right() - Width));
        Place.moveTop(qMax(Room.top(), Place.top()));
    }
    move(Place.topLeft());
    show();
    raise();
    FHide.start(Ms);
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
