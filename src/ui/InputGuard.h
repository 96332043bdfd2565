#pragma once

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
// misses). And input that waited while the window could not take it is
// dropped on request, not carried over.
class TInputGuard : public QObject
{
    Q_OBJECT
public:
    explicit TInputGuard(QObject *parent = nullptr);
    ~TInputGuard() override;

    // Drops the user's input that is queued now; what comes later goes through.
    void DropPending();
    // Drops every key for Window and its widgets from now on, until called with nullptr.
    void DropKeysFor(QWidget *Window);

protected:
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    bool IsRepeat(const QKeyEvent *Key) const;
    bool ForDroppedWindow(QObject *Watched) const;
    void MoveToFront();

    bool FDropping = false;
    QPointer<QWidget> FKeysDroppedFor;
    QSet<int> FHeld;                 // keys pressed and not released since
    QHash<int, quint64> FReleasedAt; // key -> time stamp of its last release
};
