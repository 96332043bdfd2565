#include "InputGuard.h"

#include <QCoreApplication>
#include <QKeyEvent>

namespace {
// A press that follows its key's release within this many milliseconds is
// the keyboard's repeat: X11 sends each repeat as such a pair, stamped alike.
constexpr quint64 RepeatPairMs = 10;

bool PressesButtons(int Key)
{
    return Key == Qt::Key_Return || Key == Qt::Key_Enter || Key == Qt::Key_Space;
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
    QCoreApplication::instance()->installEventFilter(this);
}

TInputGuard::~TInputGuard()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

void TInputGuard::DropPending()
{
    FDropping = true;
    // Window-system input and posted events alike; anything else runs as usual.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    FDropping = false;
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
    // Keys are judged where they enter a window, once each: on their way to
    // the focus widget and up its parents they pass this filter again. Keys
    // that are dropped still count, or a key released meanwhile would stay held.
    bool Repeat = false;
    if ((Event->type() == QEvent::KeyPress || Event->type() == QEvent::KeyRelease) &&
        Watched->isWindowType()) {
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
    if (Repeat || (FDropping && IsUserInput(Event->type())))
        return true;
    return QObject::eventFilter(Watched, Event);
}
