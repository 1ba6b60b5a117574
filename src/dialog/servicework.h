#pragma once
// The window while it waits on the service: the wait cursor, no input reaching the window, the
// window kept painted, and, when the work takes longer than half a second, a modal progress dialog
// that says what is being done, with Cancel while the work only reads. Scopes may nest: the inner
// one gives the channel's waits back to the outer one when it ends.

#include "model/progress.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QProgressDialog;
class QPushButton;
class TCommandHandler;

class TServiceWork final : public QObject, public TProgress {
public:
    TServiceWork(QWidget* window, TCommandHandler& channel);
    ~TServiceWork() override;

    void Step(const std::string& what, int done, int total, TCancel cancel) override;

    // Asks the innermost open scope to stop, as its Cancel does: true when its work is at a step
    // that may be cancelled (a read), false when there is none or it must not stop (a save).
    static bool CancelRead();

private:
    // Taken at the next pump, where the work may stop.
    bool AskCancel();
    // Lets the window paint and the progress dialog take its input; raises ECancelled when the
    // operator cancelled what may be cancelled.
    void Pump();
    void ShowProgress();
    QString Label() const; // "Reading partnership 120 of 2,000"
    bool eventFilter(QObject* watched, QEvent* event) override;

    QWidget* Window;
    TCommandHandler& Channel;
    TServiceWork* Outer;
    std::function<void()> OuterHook;
    QElapsedTimer Running;
    qint64 LastPumpMs = 0;
    std::unique_ptr<QProgressDialog> Progress;
    QPointer<QPushButton> CancelButton; // the progress dialog's
    QString Text;
    int Done = 0;
    int Total = 0;
    bool MayCancel = false;
    bool CancelAsked = false;
    static TServiceWork* Innermost;
    // A pump lets events in, and what they run may wait on a channel: that wait must not pump
    // again inside the first, whichever scope it belongs to.
    static bool Pumping;
};
