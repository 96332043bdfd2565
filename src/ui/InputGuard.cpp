#include "InputGuard.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QWindow>

namespace {
// A press that follows its key's release within this many milliseconds is
// the keyboard's repeat: X11 sends each repeat as such a pair, stamped alike.
constexpr quint64 RepeatPairMs = 10;

bool PressesButtons(int Key)
{
    return Key == Qt::Key_Return || Key == Qt::Key_Enter || Key == Qt::Key_Space;
}

bool IsKey(QEvent::Type Type)
{
    return Type == QEvent::KeyPress || Type == QEvent::KeyRelease || Type == QEvent::ShortcutOverride ||
           Type == QEvent::Shortcut;
}

bool IsUserInput(QEvent::Type Type)
{
    switch (Type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}
} // namespace

TInputGuard::TInputGuard(QObject *parent) : QObject(parent)
{
    MoveToFront();
    // Qt's accessibility bridge on Linux installs a filter of its own when it starts and again
    // whenever a screen reader comes or goes. It takes the keys from there on and posts copies
    // of them after a round trip to the screen reader: late, and without the time stamp that
    // tells a held key's repeats. So this filter goes back in front whenever the loop waits.
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &TInputGuard::MoveToFront);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

TInputGuard::~TInputGuard()
{
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeEventFilter(this);
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

void TInputGuard::MoveToFront()
{
    // Installed again, a filter comes before those installed since.
    QCoreApplication::instance()->installEventFilter(this);
}

void TInputGuard::BeginBusy(QWidget *Window)
{
    FKeysDroppedFor = Window;
    FBusySince = InputClockMs();
    FBusyMs = 0; // what comes meanwhile is served as it comes
}

void TInputGuard::EndBusy()
{
    // On Windows the pass below may not look at the system's queue at all (it does not after a
    // nested event loop has just quit: seen under Wine, as Qt's dispatcher is written), and Qt
    // delivers what it takes from there only in the pass after: such input is told by its time
    // stamp instead, whenever it comes.
    FBusyMs = InputClockMs() - FBusySince;
    MoveToFront();
    FDropping = true;
    // Window-system input and posted events alike; anything else runs as usual.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    FDropping = false;
    FKeysDroppedFor = nullptr;
}

bool TInputGuard::ForDroppedWindow(QObject *Watched) const
{
    if (!FKeysDroppedFor)
        return false;
    if (Watched->isWidgetType())
        return static_cast<QWidget *>(Watched)->window() == FKeysDroppedFor;
    return Watched == FKeysDroppedFor->windowHandle();
}

bool TInputGuard::IsRepeat(const QKeyEvent *Key) const
{
    if (Key->isAutoRepeat() || FHeld.contains(Key->key()))
        return true;
    const auto Released = FReleasedAt.constFind(Key->key());
    return Released != FReleasedAt.cend() && *Released != 0 && Key->timestamp() >= *Released &&
           Key->timestamp() - *Released < RepeatPairMs;
}

bool TInputGuard::eventFilter(QObject *Watched, QEvent *Event)
{
    // Keys are judged where the window system hands them to a window, once
    // each: on their way to the focus widget and up its parents they pass this
    // filter again, and so do the copies a filter behind this one posts again,
    // which are not spontaneous. Keys that are dropped still count, or a key
    // released meanwhile would stay held.
    bool Repeat = false;
    if ((Event->type() == QEvent::KeyPress || Event->type() == QEvent::KeyRelease) &&
        Watched->isWindowType() && Event->spontaneous()) {
        const auto *Key = static_cast<const QKeyEvent *>(Event);
        if (Event->type() == QEvent::KeyPress) {
            Repeat = IsRepeat(Key) && PressesButtons(Key->key());
            FHeld.insert(Key->key());
        } else if (!Key->isAutoRepeat()) {
            FHeld.remove(Key->key());
            FReleasedAt.insert(Key->key(), Key->timestamp());
        }
    } else if (Event->type() == QEvent::ApplicationDeactivate) {
        // Releases made in another program never arrive here.
        FHeld.clear();
    }
    if (Repeat || (FDropping && IsUserInput(Event->type())) ||
        (IsKey(Event->type()) && ForDroppedWindow(Watched)))
        return true;
    return QObject::eventFilter(Watched, Event);
}
