#pragma once
// The window while it waits on the service: wait cursor, input dropped, window painted, and after
// half a second a progress dialog, with Cancel while the work only reads. Scopes may nest.

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

    // As the innermost scope's Cancel: false when there is none or its work must not stop.
    static bool CancelRead();

private:
    // Taken at the next pump, where the work may stop.
    bool AskCancel();
    void Pump(); // lets the window paint; raises ECancelled once a cancel is taken
    void ShowProgress();
    bool eventFilter(QObject* watched, QEvent* event) override;

    QWidget* Window;
    TCommandHandler& Channel;
    TServiceWork* Outer;
    std::function<void()> OuterHook;
    QElapsedTimer Running;
    qint64 LastPumpMs = 0;
    std::unique_ptr<QProgressDialog> Progress;
    QPointer<QPushButton> CancelButton; // the progress dialog's
    QString Label;                      // "Reading partnership 120 of 2,000"
    int Done = 0;
    int Total = 0;
    bool MayCancel = false;
    bool CancelAsked = false;
    static TServiceWork* Innermost;
    // A pump lets events in, and what they run may wait on a channel: that wait must not pump
    // again inside the first, whichever scope it belongs to.
    static bool Pumping;
};
