#pragma once
// The window while it waits on the service: wait cursor, input dropped, window painted, and after
// half a second a progress dialog, with Cancel while the work only reads. Scopes may nest.

#include "model/progress.h"

#include <QObject>
#include <QPointer>
#include <memory>

class QProgressDialog;
class QPushButton;

class TServiceWork final : public QObject, public TShownProgress {
public:
    TServiceWork(QWidget* window, TCommandHandler& channel);
    ~TServiceWork() override;

    // As the innermost scope's Cancel: false when there is none or its work must not stop.
    static bool CancelRead();

private:
    // Taken at the next pump, where the work may stop.
    bool AskCancel();
    void Stepped(TCancel cancel) override;
    void Waiting() override; // lets the window paint; raises ECancelled once a cancel is taken
    void ShowProgress();
    bool eventFilter(QObject* watched, QEvent* event) override;

    QWidget* Window;
    TServiceWork* Outer;
    long long LastPumpMs = 0;
    std::unique_ptr<QProgressDialog> Progress;
    QPointer<QPushButton> CancelButton; // the progress dialog's
    bool MayCancel = false;
    bool CancelAsked = false;
    static TServiceWork* Innermost;
    // A pump lets events in, and what they run may wait on a channel: that wait must not pump
    // again inside the first, whichever scope it belongs to.
    static bool Pumping;
};
