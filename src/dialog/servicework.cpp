#include "dialog/servicework.h"

#include "channel/cmds.h"
#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLocale>
#include <QObject>
#include <QProgressDialog>
#include <QPushButton>
#include <QString>

class TServiceWork::TScope final : public QObject {
public:
    TScope(QWidget* window, TCommandHandler& channel) : Window(window), Channel(channel) {
        Running.start();
        QApplication::setOverrideCursor(Qt::WaitCursor);
        qApp->installEventFilter(this);
        Channel.TcpClient.WhileWaiting = [this] {
            Pump();
        };
    }

    ~TScope() override {
        Channel.TcpClient.WhileWaiting = nullptr;
        Progress.reset();
        qApp->removeEventFilter(this);
        QApplication::restoreOverrideCursor();
    }

    void Step(const std::string& what, int done, int total, TCancel cancel) {
        Text = ToQString(what);
        Done = done;
        Total = total;
        MayCancel = cancel == TCancel::Offered;
        if (!MayCancel)
            CancelAsked = false; // a save is never cancelled half-way
        Pump();
    }

private:
    // Lets the window paint and the progress dialog take its input; raises ECancelled when the
    // operator cancelled what may be cancelled.
    void Pump();
    void ShowProgress();
    // "Reading partnership 120 of 2,000"
    QString Label() const;
    bool eventFilter(QObject* watched, QEvent* event) override;

    QWidget* Window;
    TCommandHandler& Channel;
    QElapsedTimer Running;
    qint64 LastPumpMs = 0;
    std::unique_ptr<QProgressDialog> Progress;
    QString Text;
    int Done = 0;
    int Total = 0;
    bool MayCancel = false;
    bool CancelAsked = false;
};

TServiceWork::TServiceWork(QWidget* window, TCommandHandler& channel)
    : Scope(std::make_unique<TScope>(window, channel)) {}

TServiceWork::~TServiceWork() = default;

void TServiceWork::Step(const std::string& what, int done, int total, TCancel cancel) {
    Scope->Step(what, done, total, cancel);
}

void TServiceWork::TScope::Pump() {
    // Work that ends quickly never waits for the window: events are let in at most every
    // PumpEveryMs, the first time that long after the work began.
    if (Running.elapsed() < LastPumpMs + PumpEveryMs)
        return;
    LastPumpMs = Running.elapsed();
    if (!Progress && Running.elapsed() >= ProgressDelayMs)
        ShowProgress();
    if (Progress) {
        // Escape hides the dialog also where there is no Cancel: a save goes on in sight.
        if (!Progress->isVisible())
            Progress->show();
        Progress->setLabelText(Label());
        Progress->setMaximum(Total);
        Progress->setValue(Total > 0 ? Done : 0);
        if (auto* cancel = Progress->findChild<QPushButton*>())
            cancel->setVisible(MayCancel);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, PumpEveryMs / 2);
    if (CancelAsked && MayCancel) {
        CancelAsked = false;
        QString label = Label();
        if (!label.isEmpty())
            label[0] = label[0].toLower();
        throw ECancelled("Cancelled while " + ToStdString(label));
    }
}

QString TServiceWork::TScope::Label() const {
    const QLocale locale;
    return Total > 0 ? QStringLiteral("%1 %2 of %3")
                           .arg(Text, locale.toString(Done), locale.toString(Total))
                     : Text;
}

void TServiceWork::TScope::ShowProgress() {
    Progress = std::make_unique<QProgressDialog>(Window);
    Progress->setWindowTitle(Window->windowTitle());
    Progress->setWindowModality(Qt::WindowModal);
    Progress->setAutoClose(false);
    Progress->setAutoReset(false);
    Progress->setMinimumDuration(0);
    connect(Progress.get(), &QProgressDialog::canceled, this, [this] {
        if (MayCancel)
            CancelAsked = true;
    });
    Progress->show();
}

bool TServiceWork::TScope::eventFilter(QObject* watched, QEvent* event) {
    // Input meant for the window waits for nobody: it is dropped, not held for later.
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::Close: {
        auto* widget = qobject_cast<QWidget*>(watched);
        return widget != nullptr && widget->window() == Window;
    }
    default:
        return false;
    }
}
