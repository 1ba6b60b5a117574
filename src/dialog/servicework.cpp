#include "dialog/servicework.h"

#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopedValueRollback>

constexpr int PumpEveryMs = 40; // how often the window is let paint

TServiceWork* TServiceWork::Innermost = nullptr;
bool TServiceWork::Pumping = false;

TServiceWork::TServiceWork(QWidget* window, TCommandHandler& channel)
    : TShownProgress(channel), Window(window), Outer(Innermost) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    qApp->installEventFilter(this);
    Innermost = this;
}

TServiceWork::~TServiceWork() {
    Innermost = Outer;
    Progress.reset();
    qApp->removeEventFilter(this);
    QApplication::restoreOverrideCursor();
}

void TServiceWork::Stepped(TCancel cancel) {
    MayCancel = cancel == TCancel::Offered;
    if (!MayCancel)
        CancelAsked = false; // a save is never cancelled half-way
}

bool TServiceWork::AskCancel() {
    if (MayCancel)
        CancelAsked = true;
    return MayCancel;
}

bool TServiceWork::CancelRead() {
    return Innermost != nullptr && Innermost->AskCancel();
}

void TServiceWork::Waiting() {
    // Work that ends quickly never waits for the window: events are let in at most every
    // PumpEveryMs, the first time that long after the work began.
    if (Pumping || ElapsedMs() < LastPumpMs + PumpEveryMs)
        return;
    const QScopedValueRollback<bool> pumping(Pumping, true);
    LastPumpMs = ElapsedMs();
    if (!Progress && LastPumpMs >= ProgressDelayMs)
        ShowProgress();
    if (Progress) {
        Progress->setLabelText(ToQString(Label));
        Progress->setMaximum(Total);
        Progress->setValue(Total > 0 ? Done : 0);
        CancelButton->setVisible(MayCancel);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, PumpEveryMs / 2);
    if (CancelAsked && MayCancel) {
        CancelAsked = false;
        throw ECancelled("Cancelled " + While());
    }
}

void TServiceWork::ShowProgress() {
    Progress = std::make_unique<QProgressDialog>(Window);
    Progress->setWindowTitle(Window->windowTitle());
    Progress->setWindowModality(Qt::WindowModal);
    Progress->setAutoClose(false);
    Progress->setAutoReset(false);
    Progress->setMinimumDuration(0);
    // Our own button, and Escape; they ask the work to stop, and the work ends the dialog, so the
    // dialog's own reset-and-hide on Cancel is taken away. The default button goes first, and
    // its Escape shortcut with it, which would make Escape ambiguous.
    Progress->setCancelButton(nullptr);
    CancelButton = new QPushButton(QProgressDialog::tr("Cancel"), Progress.get());
    Progress->setCancelButton(CancelButton);
    Progress->disconnect(Progress.get());
    connect(Progress.get(), &QProgressDialog::canceled, this, [this] { AskCancel(); });
    Progress->show();
}

bool TServiceWork::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (Progress && watched == Progress.get() &&
        (type == QEvent::Close ||
         (type == QEvent::KeyPress &&
          static_cast<QKeyEvent*>(event)->matches(QKeySequence::Cancel)))) {
        // Its close box and Escape are its Cancel, and it stays until the work ends.
        AskCancel();
        event->ignore();
        return true;
    }
    // Input meant for the window waits for nobody: it is dropped, not held for later.
    const bool input = event->isInputEvent() || type == QEvent::InputMethod ||
                       type == QEvent::ShortcutOverride || type == QEvent::Shortcut ||
                       type == QEvent::DragEnter || type == QEvent::DragMove ||
                       type == QEvent::DragLeave || type == QEvent::Drop;
    if (!input)
        return false;
    // A shortcut's event goes to the shortcut, which belongs to a widget.
    for (QObject* target = watched; target != nullptr; target = target->parent())
        if (auto* widget = qobject_cast<QWidget*>(target))
            return widget->window() == Window;
    return false;
}
