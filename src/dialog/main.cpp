#include "dialog/main.h"

#include "dialog/servicework.h"
#include "dialog/widgets.h"
#include "model/certalias.h"
#include "model/commandtext.h"
#include "model/serviceconfig.h"
#include "platform/exceptions.h"
#include "platform/guard.h"
#include "platform/msgbox.h"
#include "platform/textconv.h"

#include <QApplication>
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

void ResetDialogState() {
    LocalPartner.reset();
    RemotePartner.reset();
    OldLocalAS2ID.clear();
    OldRemoteAS2ID.clear();
}

// The icon lives in this static library's resources, which must be registered by hand.
static void InitDialogResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

const TFileChoice LocalCertificateFile = {
    "SelectLocalCertificate",
    "Select Local Certificate",
    {QStringLiteral("Local Key Exchange (*.p12)"), QStringLiteral("Personal Key Exchange (*.pfx)")},
    "p12",
    "*.p12",
    true};
// Its filter reads "Certificates": the pattern stays out of sight.
const TFileChoice RemoteCertificateFile = {"SelectRemoteCertificate",
                                           "Select Remote Certificate",
                                           {QStringLiteral("Certificates (*.cer)")},
                                           "cer",
                                           "*.cer",
                                           false};

std::string Text(const QLineEdit* edit) {
    return ToStdString(edit->text());
}

// Step 1 of the alias derivation: an empty field takes the partner's name, and keeps it.
std::string NextAliasFor(QLineEdit* certificate, const QLineEdit* partnerName) {
    const std::string alias = NextImportAlias(Text(certificate), Text(partnerName));
    if (certificate->text().isEmpty())
        certificate->setText(partnerName->text());
    return alias;
}

} // namespace

TMainForm::TMainForm(QWidget* parent) : QDialog(parent) {
    setupUi(this);
    setFont(LayoutFont(font(), findChildren<QLabel*>()));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(494, 476);
    InitDialogResources();
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

TMainForm::~TMainForm() = default;

TDialogOptions TDialogOptions::FromProgram(const QStringList& arguments) {
    TDialogOptions options;
    if (arguments.size() > 1)
        options.RemoteName = ToStdString(arguments.at(1));
    options.ServiceConfigPath = DefaultServiceConfigPath();
    return options;
}

void TMainForm::Open(TCommandHandler& channel, TDialogOptions options) {
    std::vector<TFieldName> names;
    for (const TSettingControl& row : SettingControls())
        if (row.Text != nullptr)
            names.push_back({row.Text, ToStdString(row.Label->text())});
    PartnerLink = std::make_unique<TPartnerLink>(channel, std::move(names));
    Channel = &channel;
    Options = std::move(options);
}

TPartnerLink& TMainForm::Link() {
    if (!PartnerLink)
        throw EServiceError("The command channel to the AS2 service is not open");
    return *PartnerLink;
}

std::unique_ptr<TServiceWork> TMainForm::Work() {
    if (Channel == nullptr)
        throw EServiceError("The command channel to the AS2 service is not open");
    return std::make_unique<TServiceWork>(this, *Channel);
}

std::vector<TMainForm::TSettingControl> TMainForm::SettingControls() const {
    using S = TLinkSettings;
    return {
        {Label2, LocalName, &S::LocalName, nullptr, nullptr},
        {Label3, LocalAS2ID, &S::LocalAS2ID, nullptr, nullptr},
        {Label4, LocalEmail, &S::LocalEmail, nullptr, nullptr},
        {Label5, LocalCertificate, &S::LocalCertificate, nullptr, nullptr},
        {Label6, RemoteName, &S::RemoteName, nullptr, nullptr},
        {Label7, RemoteAS2ID, &S::RemoteAS2ID, nullptr, nullptr},
        {Label8, RemoteEmail, &S::RemoteEmail, nullptr, nullptr},
        {Label9, RemoteCertificate, &S::RemoteCertificate, nullptr, nullptr},
        {Label10, OutgoingAS2URL, &S::OutgoingAS2URL, nullptr, nullptr},
        {Label11, IncomingHostName, &S::IncomingHostName, nullptr, nullptr},
        {Label12, nullptr, nullptr, IncomingAS2Port, &S::IncomingAS2Port},
        {Label13, nullptr, nullptr, IncomingMDNPort, &S::IncomingMDNPort},
    };
}

TLinkSettings TMainForm::Settings() const {
    TLinkSettings settings;
    for (const TSettingControl& row : SettingControls()) {
        if (row.Edit != nullptr) {
            // A lone surrogate is lost when the text becomes UTF-8: refused while it can be named.
            const QString text = row.Edit->text();
            for (qsizetype i = 0; !text.isValidUtf16() && i < text.size(); ++i) {
                const bool paired = text.at(i).isHighSurrogate()
                                        ? i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                                        : !text.at(i).isLowSurrogate() ||
                                              (i > 0 && text.at(i - 1).isHighSurrogate());
                if (!paired)
                    CommandText::Refuse(
                        ToStdString(row.Label->text()), ToStdString(text),
                        Format("a lone surrogate (U+%04X), which the AS2 service's replies cannot "
                               "carry",
                               text.at(i).unicode()),
                        "saved");
            }
            settings.*row.Text = Text(row.Edit);
        } else
            settings.*row.Number = SpinEditValue(*row.Spin);
    }
    return settings;
}

void TMainForm::ShowSettings(const TLinkSettings& settings) {
    for (const TSettingControl& row : SettingControls()) {
        if (row.Edit != nullptr)
            row.Edit->setText(ToQString(settings.*row.Text));
        else
            row.Spin->setValue(settings.*row.Number);
    }
}

void TMainForm::BindHandler(QPushButton* button, void (TMainForm::*handler)(QObject*)) {
    connect(button, &QPushButton::clicked, this,
            [this, button, handler] { Guarded([&] { (this->*handler)(button); }); });
}

void TMainForm::Guarded(const std::function<void()>& handler) {
    RunGuarded([&] {
        // An accessibility client can set a field's text without any event: what the window shows
        // stays what the handler works with.
        std::vector<QWidget*> held;
        for (const TSettingControl& row : SettingControls()) {
            QWidget* control = row.Edit != nullptr ? static_cast<QWidget*>(row.Edit) : row.Spin;
            if (!control->property("readOnly").toBool()) {
                control->setProperty("readOnly", true);
                held.push_back(control);
            }
        }
        const auto release = qScopeGuard([&held] {
            for (QWidget* control : held)
                control->setProperty("readOnly", false);
        });
        handler();
    });
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
                try {
                    FormShow(this);
                } catch (const ECancelled&) {
                    if (!CloseAfterLoad)
                        throw;
                }
            });
            if (CloseAfterLoad)
                QDialog::reject(); // nothing was written
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
    // The window stays until the operator has seen how the work ended. A read stops, and the
    // handler says so; a load stops and the window then closes; a save, the file update and the
    // boxes go on.
    if (TServiceWork::CancelRead() && Loading)
        CloseAfterLoad = true;
    event->ignore();
}

// The close box ends up here, outside work.
void TMainForm::reject() {
    Guarded([this] { CancelClick(this); });
}

void TMainForm::CancelClick(QObject* /*Sender*/) {
    QDialog::reject();
}

void TMainForm::FormShow(QObject* /*Sender*/) {
    {
        const auto work = Work();
        Link().Load(Options.RemoteName, LocalPartner, RemotePartner, *work);
    }
    // Recorded at once, so a load that stops further on leaves unchanged IDs unchanged.
    OldLocalAS2ID = LocalPartner->AS2ID;
    OldRemoteAS2ID = RemotePartner->AS2ID;
    // The controls show what was read, also when reading stops at an unreadable port.
    TLinkSettings settings = Settings();
    const auto show = qScopeGuard([&] { ShowSettings(settings); });
    TPartnerLink::Read(*LocalPartner, *RemotePartner, settings);
}

void TMainForm::OKClick(QObject* /*Sender*/) {
    TServiceFile file{Options.ServiceConfigPath, OldLocalAS2ID, OldRemoteAS2ID};
    // The file follows the AS2 IDs the service holds: those it names then are the old IDs of the
    // next OK, also when this one ends in an error box.
    const auto named = qScopeGuard([&] {
        OldLocalAS2ID = file.LocalID;
        OldRemoteAS2ID = file.RemoteID;
    });
    bool restart = false;
    {
        const auto work = Work();
        try {
            restart = Link().Apply(LocalPartner, RemotePartner, Settings(), file, *work);
        } catch (const ENotHeldError& failure) {
            if (!failure.FileFailed)
                throw;
            // The file still names the IDs it named, so the next OK tries it again.
            throw EServiceError(failure.Message + "; OK again retries the file");
        }
    }
    if (restart) {
        MessageDlg(
            QStringLiteral("Quenfold"),
            QStringLiteral(
                "The Changes you made won't take effect until the AS2 Service is restarted."),
            mtInformation, MsgButton(mbOK));
    }
    QDialog::accept();
}

void TMainForm::ImportLocalClick(QObject* /*Sender*/) {
    const std::string path = ChooseFile(this, LocalCertificateFile, SelectLocalCertificate);
    if (path.empty())
        return;
    bool accepted = false;
    const QString entered = QInputDialog::getText(this, QStringLiteral("Import Local Certificate"),
                                                  QStringLiteral("Please Enter The Password"),
                                                  QLineEdit::Password, QString(), &accepted);
    const std::string password = accepted ? ToStdString(entered) : std::string();
    if (password.empty())
        return;

    ImportCertificate(LocalCertificate, LocalName, path, &password,
                      QStringLiteral("Unable to import Certificate. Please check Password and try "
                                     "again"));
}

void TMainForm::ImportRemoteClick(QObject* /*Sender*/) {
    const std::string path = ChooseFile(this, RemoteCertificateFile, SelectRemoteCertificate);
    if (path.empty())
        return;
    ImportCertificate(
        RemoteCertificate, RemoteName, path, nullptr,
        QStringLiteral("Unable to import Certificate. Please check the file and try again"));
}

void TMainForm::ImportCertificate(QLineEdit* certificate, const QLineEdit* partnerName,
                                  const std::string& path, const std::string* password,
                                  const QString& refused) {
    const std::string alias = NextAliasFor(certificate, partnerName);
    std::optional<std::string> imported;
    {
        const auto work = Work();
        imported = Link().ImportCertificate(alias, path, password, *work);
    }
    if (imported)
        certificate->setText(ToQString(*imported));
    else
        MessageDlg(QStringLiteral("Import Certificate"), refused, mtError, MsgButton(mbOK));
}
