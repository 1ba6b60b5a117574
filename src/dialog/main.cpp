#include "dialog/main.h"

#include "dialog/certbox.h"
#include "dialog/servicework.h"
#include "dialog/widgets.h"
#include "model/certalias.h"
#include "model/commandtext.h"
#include "platform/exceptions.h"
#include "platform/guard.h"
#include "platform/msgbox.h"
#include "platform/textconv.h"

#include <QCloseEvent>
#include <QIcon>
#include <QInputDialog>
#include <QKeyEvent>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QShowEvent>
#include <limits>

TMainForm* MainForm = nullptr;

std::optional<TPartner> LocalPartner;
std::optional<TPartner> RemotePartner;
std::string OldLocalAS2ID;
std::string OldRemoteAS2ID;

TMainForm::TMainForm(QWidget* parent) : QDialog(parent) {
    setupUi(this);
    setFont(LayoutFont(font(), findChildren<QLabel*>()));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(494, 476);
    Q_INIT_RESOURCE(resources); // the icon lives in this static library's resources
    setWindowIcon(QIcon(QStringLiteral(":/vantrel-config.png")));

    for (QLineEdit* field : {LocalName, LocalCertificate, RemoteName, RemoteCertificate})
        ShowAsReadOnly(field);
    // A value longer than Qt's default limit would be cut, and saved cut.
    for (QLineEdit* edit : findChildren<QLineEdit*>(QString(), Qt::FindDirectChildrenOnly))
        edit->setMaxLength(std::numeric_limits<int>::max());

    BindHandler(ImportLocal, &TMainForm::ImportLocalClick);
    BindHandler(ImportRemote, &TMainForm::ImportRemoteClick);
    BindHandler(OK, &TMainForm::OKClick);
    BindHandler(Cancel, &TMainForm::CancelClick);

    LocalName->setFocus();
}

void TMainForm::Open(TCommandHandler& channel, TDialogOptions options) {
    const TLinkFace face{[](const TSetting& setting) { return std::string(setting.Label); },
                         "OK sends the settings again", "OK again retries the file",
                         "start the dialog again to read them anew",
                         "OK saves nothing; start the dialog again to read them"};
    PartnerLink = std::make_unique<TPartnerLink>(channel, options.ServiceConfigPath, face);
    Channel = &channel;
    Options = std::move(options);
    MirrorLink(); // nothing loaded yet
}

TPartnerLink& TMainForm::Link() {
    if (!PartnerLink)
        throw EServiceError("The command channel to the AS2 service is not open");
    return *PartnerLink;
}

void TMainForm::MirrorLink() {
    LocalPartner = Link().Local();
    RemotePartner = Link().Remote();
    OldLocalAS2ID = Link().FileLocalID();
    OldRemoteAS2ID = Link().FileRemoteID();
}

std::unique_ptr<TServiceWork> TMainForm::Work() {
    Link(); // opened
    return std::make_unique<TServiceWork>(this, *Channel);
}

std::vector<TMainForm::TSettingControl> TMainForm::SettingControls() const {
    // In the order of the link's settings.
    QWidget* const controls[] = {LocalName,        LocalAS2ID,        LocalEmail,
                                 LocalCertificate, RemoteName,        RemoteAS2ID,
                                 RemoteEmail,      RemoteCertificate, OutgoingAS2URL,
                                 IncomingHostName, IncomingAS2Port,   IncomingMDNPort};
    std::vector<TSettingControl> rows;
    for (std::size_t i = 0; i < LinkSettings().size(); ++i)
        rows.push_back({controls[i], qobject_cast<QLineEdit*>(controls[i]),
                        qobject_cast<QSpinBox*>(controls[i]), LinkSettings()[i]});
    return rows;
}

TLinkSettings TMainForm::Settings() const {
    TLinkSettings settings;
    for (const TSettingControl& row : SettingControls()) {
        if (row.Edit != nullptr) {
            std::string& text = settings.*row.Setting.Text;
            text = ToStdString(row.Edit->text());
            CommandText::CheckConverted(row.Setting.Label, text, LoneSurrogate(row.Edit->text()),
                                        "saved");
        } else {
            settings.*row.Setting.Port = SpinEditValue(*row.Spin);
        }
    }
    return settings;
}

void TMainForm::ShowSettings(const TLinkSettings& settings) {
    for (const TSettingControl& row : SettingControls()) {
        if (row.Edit != nullptr)
            row.Edit->setText(ToQString(settings.*row.Setting.Text));
        else
            row.Spin->setValue(settings.*row.Setting.Port);
    }
}

void TMainForm::BindHandler(QPushButton* button, void (TMainForm::*handler)(QObject*)) {
    connect(button, &QPushButton::clicked, this,
            [this, button, handler] { Guarded([&] { (this->*handler)(button); }); });
}

void TMainForm::Guarded(const std::function<void()>& handler) {
    RunGuarded([&] {
        std::vector<QWidget*> controls; // what the window shows stays what the handler works with
        for (const TSettingControl& row : SettingControls())
            controls.push_back(row.Control);
        const TReadOnlyHold hold(controls);
        try {
            handler();
        } catch (const ECancelled&) {
            if (!CloseAfterWork) // the window closes anyway: the cancelled read needs no box
                throw;
        }
    });
    if (CloseAfterWork && isVisible())
        QDialog::reject(); // once the work has ended: nothing more is written
}

void TMainForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (ShownOnce || event->spontaneous())
        return;
    ShownOnce = true;
    // Loading runs once the window is on screen, so a failure shows over the window.
    QMetaObject::invokeMethod(
        this,
        [this] {
            Guarded([this] {
                const QScopedValueRollback<bool> loading(Loading, true);
                FormShow(this);
            });
        },
        Qt::QueuedConnection);
}

void TMainForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        // Escape acts as a press of Cancel, and only while Cancel can be pressed.
        if (Cancel->isEnabled() && Cancel->isVisible())
            Cancel->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!HandlerRunning()) {
        QDialog::closeEvent(event); // as Cancel
        return;
    }
    // The window stays until the operator has seen how the work ended: a read stops (a load then
    // closes the window); a save, the file update and the boxes go on.
    if (TServiceWork::CancelRead() && Loading)
        CloseAfterWork = true;
    event->ignore();
}

void TMainForm::StopRequested() {
    // A read stops; a save, the file update and the boxes go on, and the window closes after.
    TServiceWork::CancelRead();
    CloseAfterWork = true;
    if (!HandlerRunning())
        QDialog::reject();
}

// The close box ends up here, outside work.
void TMainForm::reject() {
    Guarded([this] { CancelClick(this); });
}

void TMainForm::CancelClick(QObject* /*Sender*/) {
    QDialog::reject();
}

void TMainForm::FormShow(QObject* /*Sender*/) {
    const auto mirror = qScopeGuard([this] { MirrorLink(); });
    Link().Load(Options.RemoteName, *Work());
    // The controls show what was read, also when reading stops at an unreadable port.
    TLinkSettings settings = Settings();
    {
        const auto show = qScopeGuard([&] { ShowSettings(settings); });
        Link().Read(settings);
    }
    ShowFileBehind(this, Link());
}

void TMainForm::OKClick(QObject* /*Sender*/) {
    const auto mirror = qScopeGuard([this] { MirrorLink(); });
    const TApplyOutcome outcome = Link().Apply(Settings(), TSaveChoice::Both, *Work());
    // The dialog stays open on what the service does not hold, and OK can be pressed again.
    if (!outcome.Message.empty()) {
        ShowErrorMessage(ToQString(outcome.Message));
        return;
    }
    if (outcome.RestartNeeded()) {
        MessageDlg(
            QStringLiteral("Quenfold"),
            QStringLiteral(
                "The Changes you made won't take effect until the AS2 Service is restarted."),
            mtInformation, MsgButton(mbOK));
    }
    QDialog::accept();
}

void TMainForm::ImportLocalClick(QObject* /*Sender*/) {
    ImportCertificate(true);
}

void TMainForm::ImportRemoteClick(QObject* /*Sender*/) {
    ImportCertificate(false);
}

void TMainForm::ImportCertificate(bool local) {
    const std::string path = ChooseCertificateFile(
        this, local, local ? SelectLocalCertificate : SelectRemoteCertificate);
    // A cancelled prompt gives the empty text.
    const std::string password =
        local && !path.empty()
            ? ToStdString(QInputDialog::getText(this, QStringLiteral("Import Local Certificate"),
                                                QStringLiteral("Please Enter The Password"),
                                                QLineEdit::Password))
            : std::string();
    if (path.empty() || (local && password.empty()))
        return;
    QLineEdit* const certificate = local ? LocalCertificate : RemoteCertificate;
    const QLineEdit* const partnerName = local ? LocalName : RemoteName;
    const std::string alias =
        NextImportAlias(ToStdString(certificate->text()), ToStdString(partnerName->text()));
    if (!ConfirmCertificateImport(this, path, local ? &password : nullptr))
        return; // nothing sent, and the field as it was
    // Step 1 of the alias derivation: an empty field takes the partner's name, and keeps it.
    if (certificate->text().isEmpty())
        certificate->setText(partnerName->text());
    const TImportOutcome imported =
        Link().ImportCertificate(alias, path, local ? &password : nullptr, *Work());
    if (imported.Listed)
        certificate->setText(ToQString(imported.Alias));
    else
        MessageDlg(QStringLiteral("Import Certificate"),
                   QStringLiteral("Unable to import Certificate. Please check %1 and try again")
                       .arg(local ? QStringLiteral("Password") : QStringLiteral("the file")),
                   mtError, MsgButton(mbOK));
}
