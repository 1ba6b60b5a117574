#pragma once
// The window while it waits on the service: the wait cursor, no input reaching the window's
// handlers, the window kept painted, and, when the work takes longer than half a second, a modal
// progress dialog that says what is being done, with Cancel while the work only reads.

#include "channel/cmds.h"
#include "model/progress.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <memory>

class QProgressDialog;
class QWidget;

class TServiceWork final : public QObject, public TProgress {
public:
    // For as long as it lives; the channel's waits keep the window painted meanwhile.
    TServiceWork(QWidget* window, TCommandHandler& channel);
    ~TServiceWork() override;
    TServiceWork(const TServiceWork&) = delete;
    TServiceWork& operator=(const TServiceWork&) = delete;

    void Step(const std::string& what, int done, int total, bool mayCancel) override;

    // How long the work runs before the progress dialog shows, and how often the window is let
    // paint meanwhile.
    static constexpr int ProgressDelayMs = 500;
    static constexpr int PumpEveryMs = 40;

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
