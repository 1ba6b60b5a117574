#pragma once
// The configuration window: its controls, its handlers and the dialog state of the unit.

#include "ui_main.h"

#include "model/partnerlink.h"

#include <QDialog>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QFileDialog;
class QSpinBox;
class TCommandHandler;
class TServiceWork;

// What the window works on besides its channel.
struct TDialogOptions {
    // The remote partner's name exactly as given.
    std::string RemoteName = DefaultRemotePartnerName;
    // The configuration file OK brings in line with the AS2 IDs the service holds.
    std::string ServiceConfigPath;

    // From the program's command line as it got it (the first argument after the program names
    // the remote partner) and from the environment (VANTREL_CONFIG).
    static TDialogOptions FromProgram(const QStringList& arguments);
};

class TMainForm : public QDialog, public Ui::TMainForm {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The channel the handlers talk through and what they work on; the program calls this once it
    // has created its CommandHandler, after the window, and before showing it.
    void Open(TCommandHandler& channel, TDialogOptions options);

    // The file-open dialogs: made for each showing and gone with it; null while not shown.
    QFileDialog* SelectRemoteCertificate = nullptr;
    QFileDialog* SelectLocalCertificate = nullptr;

public Q_SLOTS:
    void CancelClick(QObject* Sender);
    void OKClick(QObject* Sender);
    void FormShow(QObject* Sender);
    void ImportLocalClick(QObject* Sender);
    void ImportRemoteClick(QObject* Sender);
    // SIGTERM or SIGHUP (a logout, the terminal closed): a read is cancelled and the window
    // closes; a save goes on and its outcome shows first.
    void StopRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The close box; while a handler runs, a request that the work answers.
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    // One row of the window: the label, the control beside it and the setting the control shows
    // (a line edit shows a text, a spin box a port).
    struct TSettingControl {
        QLabel* Label;
        QLineEdit* Edit;
        QSpinBox* Spin;
        const TSetting& Setting;
    };
    std::vector<TSettingControl> SettingControls() const;
    TLinkSettings Settings() const;
    void ShowSettings(const TLinkSettings& settings);

    TPartnerLink& Link();
    // The dialog state takes what the link holds: after a load and after OK, and only here.
    void MirrorLink();
    // What the handlers wait on the service in: the window painted, its input held off, progress
    // shown when it takes a while.
    std::unique_ptr<TServiceWork> Work();
    // Imports the chosen file, once the operator has seen it and chosen Import, under the alias
    // that follows the certificate field's; the field shows the alias once the service lists it,
    // else the box with the refused text shows.
    void ImportCertificate(QLineEdit* certificate, const QLineEdit* partnerName,
                           const std::string& path, const std::string* password,
                           const QString& refused);
    void BindHandler(QPushButton* button, void (TMainForm::*handler)(QObject*));
    // Runs a handler in the guard, the fields read-only meanwhile.
    void Guarded(const std::function<void()>& handler);

    std::unique_ptr<TPartnerLink> PartnerLink;
    TCommandHandler* Channel = nullptr;
    TDialogOptions Options;
    bool ShownOnce = false;
    bool Loading = false;
    // The window was closed while it loaded, or the program was asked to stop: it closes once the
    // work has ended.
    bool CloseAfterWork = false;
};

// The single window, created at start-up.
extern TMainForm* MainForm;

// The dialog state: the two partners and their AS2 IDs as the link holds them (as loaded, then as
// OK left them). It belongs to the unit, one of each for the whole run; the window never reads it.
extern std::optional<TPartner> LocalPartner;
extern std::optional<TPartner> RemotePartner;
extern std::string OldLocalAS2ID;
extern std::string OldRemoteAS2ID;
