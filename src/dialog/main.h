#pragma once
// The configuration window: its controls, its handlers and the dialog state of the unit.

#include "ui_main.h"

#include "model/partnerlink.h"
#include "model/serviceconfig.h"
#include "platform/textconv.h"

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

struct TDialogOptions {
    std::string RemoteName = DefaultRemotePartnerName; // exactly as given
    std::string ServiceConfigPath; // the file OK brings in line with the service's AS2 IDs

    // The first argument after the program names the remote partner; VANTREL_CONFIG the file.
    static TDialogOptions FromProgram(const QStringList& arguments) {
        return {arguments.size() > 1 ? ToStdString(arguments.at(1)) : DefaultRemotePartnerName,
                DefaultServiceConfigPath()};
    }
};

class TMainForm : public QDialog, public Ui::TMainForm {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);

    // Called once the channel exists, before the window shows.
    void Open(TCommandHandler& channel, TDialogOptions options);

    // The file-open dialogs while shown, else null.
    QFileDialog* SelectRemoteCertificate = nullptr;
    QFileDialog* SelectLocalCertificate = nullptr;

public Q_SLOTS:
    void CancelClick(QObject* Sender);
    void OKClick(QObject* Sender);
    void FormShow(QObject* Sender);
    void ImportLocalClick(QObject* Sender);
    void ImportRemoteClick(QObject* Sender);
    // A stop signal: a read is cancelled and the window closes; a save's outcome shows first.
    void StopRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    // One row of the window: a line edit shows a text, a spin box a port.
    struct TSettingControl {
        QWidget* Control;
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
    std::unique_ptr<TServiceWork> Work();
    // The file chosen, seen and confirmed, under the alias after the certificate field's.
    void ImportCertificate(bool local);
    void BindHandler(QPushButton* button, void (TMainForm::*handler)(QObject*));
    // Runs a handler in the guard, the fields read-only meanwhile.
    void Guarded(const std::function<void()>& handler);

    std::unique_ptr<TPartnerLink> PartnerLink;
    TCommandHandler* Channel = nullptr;
    TDialogOptions Options;
    bool ShownOnce = false;
    bool Loading = false;
    bool CloseAfterWork = false; // closed while loading, or asked to stop: closes after the work
};

extern TMainForm* MainForm;

// The dialog state, mirrors of the link (as loaded, then as OK left it); the window never reads it.
extern std::optional<TPartner> LocalPartner;
extern std::optional<TPartner> RemotePartner;
extern std::string OldLocalAS2ID;
extern std::string OldRemoteAS2ID;
