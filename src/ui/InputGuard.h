#pragma once

#include <QAbstractNativeEventFilter>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QWidget>

class QKeyEvent;

// Sees every key and mouse event of the application before its target does,
// and before any other application-wide filter.
// A key held down is one press: the presses the keyboard repeats while it is
// held never reach a button, also when nothing marks them as repeats (X11
// marks them only when it sees the pair in its queue, which a busy machine
// misses). And input given while the window is busy is not carried over.
class TInputGuard : public QObject, private QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    explicit TInputGuard(QObject *parent = nullptr);
    ~TInputGuard() override;

    // Drops every key for Window and its widgets from now on, until EndBusy().
    void BeginBusy(QWidget *Window);
    // Drops the user's input given since BeginBusy(): what is queued now, and what the window system
    // hands over only later (told by the time it stamped it with, where it does). What the user
    // gives from now on goes through.
    void EndBusy();

protected:
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    // A press of a key or a mouse button given while busy, seen before Qt's own handling.
    bool nativeEventFilter(const QByteArray &Type, void *Message, qintptr *Result) override;
    // The window system's clock, in milliseconds, as it stamps input; it wraps.
    static quint32 InputClockMs();
    bool IsRepeat(const QKeyEvent *Key) const;
    bool ForDroppedWindow(QObject *Watched) const;
    void MoveToFront();

    bool FDropping = false;
    QPointer<QWidget> FKeysDroppedFor;
    quint32 FBusySince = 0; // the span busy, by InputClockMs()
    quint32 FBusyMs = 0;
    QSet<int> FHeld;                 // keys pressed and not released since
    QHash<int, quint64> FReleasedAt; // key -> time stamp of its last release
};
