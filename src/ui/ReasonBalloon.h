#pragma once

#include <QLabel>
#include <QTimer>

// A note that opens by itself beside a widget and stays long enough to be
// read: unlike a tooltip it does not wait for a hover, nor does it vanish
// when the pointer moves. A click, its time, or Dismiss takes it away.
class TReasonBalloon : public QLabel
{
    Q_OBJECT
public:
    explicit TReasonBalloon(QWidget *Window);

    // Shows Text above Anchor's top edge, inside the screen, for Ms milliseconds.
    void Popup(const QString &Text, QWidget *Anchor, int Ms);
    void Dismiss();

protected:
    void mousePressEvent(QMouseEvent *Event) override;

private:
    QTimer FHide;
};
