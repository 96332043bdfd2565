#pragma once

#include <QLabel>
#include <QPointer>
#include <QTimer>

// A note that opens by itself beside a widget and stays long enough to be
// read: unlike a tooltip it does not wait for a hover, nor does it vanish
// when the pointer moves. A click, its time, or Dismiss takes it away.
// It keeps to its window: it moves with it and goes when the window is
// minimised, hidden or closed.
class TReasonBalloon : public QLabel
{
    Q_OBJECT
public:
    explicit TReasonBalloon(QWidget *Window);

    // Shows Text for Ms milliseconds just below the window that holds Anchor,
    // or just above it where the screen ends below: over the window only when
    // the screen has no room for it on either side.
    void Popup(const QString &Text, QWidget *Anchor, int Ms);
    void Dismiss();

protected:
    void mousePressEvent(QMouseEvent *Event) override;
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    void Place();

    QPointer<QWidget> FWindow;
    QTimer FHide;
};
