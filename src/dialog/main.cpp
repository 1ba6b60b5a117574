#include "main.h"

#include "certalias.h"
#include "commandtext.h"
#include "exceptions.h"
#include "guard.h"
#include "msgbox.h"
#include "serviceconfig.h"
#include "strtoint.h"
#include "textconv.h"

#include <QApplication>
#include <QDir>
#include <QInputDialog>

#include <QFileDialog>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QShowEvent>
#include <QSpinBox>
#include <QTimer>

TMainForm* MainForm = nullptr;

std::unique_ptr<TPartner> LocalPartner;
std::unique_ptr<TPartner> RemotePartner;
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

QFileDialog* MakeFileDialog(QWidget* parent, const QString& title, const QStringList& filters,
                            const QString& suffix) {
    auto* dialog = new QFileDialog(parent, title);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(filters);
    dialog->selectNameFilter(filters.front());
    dialog->setDefaultSuffix(suffix);
    dialog->setSizeGripEnabled(true);
    return dialog;
}

// The layout was drawn for a font 13 pixels high; pick the widest face of the application's family
// at which every label still fits the width the layout gives it.
QFont LayoutFont(const QFont& base, const QList<QLabel*>& labels) {
    for (int pixels : {11, 10, 9}) {
        for (int stretch : {QFont::Unstretched, QFont::SemiCondensed, QFont::Condensed}) {
            QFont font = base;
            font.setPixelSize(pixels);
            font.setStretch(stretch);
            const QFontMetrics metrics(font);
            bool fits = true;
            for (const QLabel* label : labels)
                fits = fits && metrics.horizontalAdvance(label->text()) <= label->width();
            if (fits)
                return font;
        }
    }
    QFont font = base;
    font.setPixelSize(9);
    return font;
}

const char* const LocalPartnerName = "AS2Local";
const char* const DefaultRemotePartnerName = "AS2Remote";
const int DefaultMDNPort = 10081;

// Shows the wait cursor while the dialog waits on the service.
class TWaitCursor {
public:
    TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};

// A URL is taken apart by position: the first 7 characters (the length of "http://") are
// dropped whatever they are, and the rest splits at its first ":".
struct TUrlParts {
    std::string host; // empty when there is no ":"
    std::string port; // the whole rest when there is no ":"
};

TUrlParts SplitUrl(const std::string& url) {
    const std::string rest = url.size() > 7 ? url.substr(7) : std::string();
    const size_t colon = rest.find(':');
    if (colon == std::string::npos)
        return {std::string(), rest};
    return {rest.substr(0, colon), rest.substr(colon + 1)};
}

std::string Text(const QLineEdit* edit) {
    return ToStdString(edit->text());
}

void CheckField(const QLabel* label, const QLineEdit* edit, const char* forbidden) {
    const std::string text = Text(edit);
    const std::string fault = CommandText::Fault(text, forbidden);
    if (!fault.empty())
        throw EUnsafeCommandText(ToStdString(label->text()) + " \"" + text + "\" holds " + fault +
                                 ", which the AS2 service would misread. Nothing was saved");
}

void CheckImportText(const char* what, const std::string& text, const char* forbidden) {
    const std::string fault = CommandText::Fault(text, forbidden);
    if (!fault.empty())
        throw EUnsafeCommandText(std::string("The ") + what + " holds " + fault +
                                 ", which the AS2 service would misread. Nothing was imported");
}

// Shows the dialog with its file name reset to the pattern; the chosen path, or empty.
std::string ChooseFile(QFileDialog* dialog, const QString& pattern) {
    dialog->selectNameFilter(dialog->nameFilters().front());
    dialog->selectFile(pattern);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::string();
    return ToStdString(QDir::toNativeSeparators(dialog->selectedFiles().front()));
}

// Step 1 of the alias derivation: an empty field takes the partner's name, and keeps it.
std::string NextAliasFor(QLineEdit* certificate, const QLineEdit* partnerName) {
    if (certificate->text().isEmpty())
        certificate->setText(partnerName->text());
    return NextCertificateAlias(Text(certificate));
}

// A partnership created for a remote partner the service did not know yet.
std::unique_ptr<TPartnership> NewPartnership(const std::string& sender, const std::string& receiver,
                                             const std::string& url) {
    auto partnership = std::make_unique<TPartnership>(sender + "-" + receiver, sender, receiver);
    partnership->AddAttribute("protocol", "as2");
    partnership->AddAttribute("subject", "From " + sender + " to " + receiver);
    partnership->AddAttribute("as2_url", url);
    partnership->AddAttribute(
        "as2_mdn_options",
        "signed-receipt-protocol=optional,pkcs7-signature; signed-receipt-micalg=optional,md5");
    partnership->AddAttribute("encrypt", "3des");
    partnership->AddAttribute("sign", "md5");
    return partnership;
}

} // namespace

int SpinEditValue(const QSpinBox& box) {
    bool ok = false;
    const int value = box.cleanText().trimmed().toInt(&ok);
    if (!ok)
        return box.minimum();
    return qBound(box.minimum(), value, box.maximum());
}

TMainForm::TMainForm(QWidget* parent) : QDialog(parent) {
    setupUi(this);
    setFont(LayoutFont(font(), findChildren<QLabel*>()));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(494, 476);
    InitDialogResources();
    setWindowIcon(QIcon(QStringLiteral(":/vantrel-config.png")));

    // The read-only fields take the button face as their background.
    for (QLineEdit* field : {LocalName, LocalCertificate, RemoteName, RemoteCertificate}) {
        QPalette palette = field->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Button));
        field->setPalette(palette);
    }

    SelectRemoteCertificate =
        MakeFileDialog(this, QStringLiteral("Select Remote Certificate"),
                       {QStringLiteral("Certificates (*.cer)")}, QStringLiteral("cer"));
    SelectRemoteCertificate->setObjectName(QStringLiteral("SelectRemoteCertificate"));
    SelectLocalCertificate = MakeFileDialog(this, QStringLiteral("Select Local Certificate"),
                                            {QStringLiteral("Local Key Exchange (*.p12)"),
                                             QStringLiteral("Personal Key Exchange (*.pfx)")},
                                            QStringLiteral("p12"));
    SelectLocalCertificate->setObjectName(QStringLiteral("SelectLocalCertificate"));

    BindHandler(ImportLocal, &TMainForm::ImportLocalClick);
    BindHandler(ImportRemote, &TMainForm::ImportRemoteClick);
    BindHandler(OK, &TMainForm::OKClick);
    BindHandler(Cancel, &TMainForm::CancelClick);

    ServiceConfigPath = DefaultServiceConfigPath();
    Arguments = QCoreApplication::arguments();

    LocalName->setFocus();
}

TMainForm::~TMainForm() = default;

void TMainForm::BindHandler(QPushButton* button, void (TMainForm::*handler)(QObject*)) {
    connect(button, &QPushButton::clicked, this,
            [this, button, handler] { RunGuarded([&] { (this->*handler)(button); }); });
}

void TMainForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (shownOnce || event->spontaneous())
        return;
    shownOnce = true;
    // Loading runs once the window is on screen, so a failure shows over the window.
    QMetaObject::invokeMethod(
        this, [this] { RunGuarded([this] { FormShow(this); }); }, Qt::QueuedConnection);
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

// The close box ends up here.
void TMainForm::reject() {
    RunGuarded([this] { CancelClick(this); });
}

void TMainForm::CancelClick(QObject* /*Sender*/) {
    QDialog::reject();
}

void TMainForm::FormShow(QObject* /*Sender*/) {
    const std::string remoteName =
        Arguments.size() > 1 ? ToStdString(Arguments.at(1)) : DefaultRemotePartnerName;
    const std::string fault = CommandText::Fault(remoteName, CommandText::BareName);
    if (!fault.empty())
        throw EUnsafeCommandText("The remote partner name \"" + remoteName +
                                 "\" given on the command line holds " + fault +
                                 ", which the AS2 service would misread. Nothing was loaded");

    {
        TWaitCursor wait;
        LocalPartner = TPartner::LoadPartner(LocalPartnerName);
        RemotePartner = TPartner::LoadPartner(remoteName);
    }

    LocalName->setText(ToQString(LocalPartner->Name));
    LocalAS2ID->setText(ToQString(LocalPartner->AS2ID));
    LocalEmail->setText(ToQString(LocalPartner->Email));
    LocalCertificate->setText(ToQString(LocalPartner->X509Alias));
    RemoteName->setText(ToQString(RemotePartner->Name));
    RemoteAS2ID->setText(ToQString(RemotePartner->AS2ID));
    RemoteEmail->setText(ToQString(RemotePartner->Email));
    RemoteCertificate->setText(ToQString(RemotePartner->X509Alias));

    IncomingMDNPort->setValue(DefaultMDNPort);
    for (const auto& partnership : LocalPartner->Partnerships->Items) {
        if (partnership->ReceiverName == RemotePartner->Name) {
            OutgoingAS2URL->setText(ToQString(partnership->GetAttribute("as2_url")));
            // An unreadable MDN address leaves the port as it is, without a word.
            int32_t port = 0;
            if (TryStrToInt(SplitUrl(partnership->GetAttribute("as2_mdn_to")).port, port))
                IncomingMDNPort->setValue(port);
        }
        if (partnership->ReceiverName == LocalPartner->Name) {
            const TUrlParts url = SplitUrl(partnership->GetAttribute("as2_url"));
            IncomingHostName->setText(ToQString(url.host));
            IncomingAS2Port->setValue(StrToInt(url.port));
        }
    }

    OldLocalAS2ID = LocalPartner->AS2ID;
    OldRemoteAS2ID = RemotePartner->AS2ID;
}

void TMainForm::OKClick(QObject* /*Sender*/) {
    if (!LocalPartner || !RemotePartner)
        throw EDialogStateError("The settings could not be read from the AS2 service, so there is "
                                "nothing to save. Nothing was saved");

    // Every text that goes into a command is checked before anything is sent.
    CheckField(Label3, LocalAS2ID, CommandText::QuotedValue);
    CheckField(Label4, LocalEmail, CommandText::QuotedValue);
    CheckField(Label5, LocalCertificate, CommandText::QuotedValue);
    CheckField(Label7, RemoteAS2ID, CommandText::QuotedValue);
    CheckField(Label8, RemoteEmail, CommandText::QuotedValue);
    CheckField(Label9, RemoteCertificate, CommandText::QuotedValue);
    CheckField(Label10, OutgoingAS2URL, CommandText::QuotedValue);
    CheckField(Label11, IncomingHostName, CommandText::QuotedValue);

    LocalPartner->SetAS2ID(Text(LocalAS2ID));
    LocalPartner->SetEmail(Text(LocalEmail));
    LocalPartner->SetX509Alias(Text(LocalCertificate));

    RemotePartner->SetAS2ID(Text(RemoteAS2ID));
    RemotePartner->SetEmail(Text(RemoteEmail));
    RemotePartner->SetX509Alias(Text(RemoteCertificate));

    const std::string host = Text(IncomingHostName);
    const std::string outgoingUrl = Text(OutgoingAS2URL);
    const std::string incomingUrl =
        "http://" + host + ":" + std::to_string(SpinEditValue(*IncomingAS2Port));
    TPartnershipList& remotePartnerships = *RemotePartner->Partnerships;
    if (!remotePartnerships.Items.empty()) {
        for (const auto& partnership : remotePartnerships.Items) {
            if (partnership->ReceiverName == RemotePartner->Name) {
                partnership->SetAttribute("as2_url", outgoingUrl);
                partnership->SetAttribute("as2_mdn_to",
                                          "http://" + host + ":" +
                                              std::to_string(SpinEditValue(*IncomingMDNPort)));
            }
            if (partnership->ReceiverName == LocalPartner->Name)
                partnership->SetAttribute("as2_url", incomingUrl);
        }
    } else {
        const std::string& local = LocalPartner->Name;
        const std::string& remote = RemotePartner->Name;
        remotePartnerships.Add(NewPartnership(local, remote, outgoingUrl));
        remotePartnerships.Add(NewPartnership(remote, local, incomingUrl));
    }

    // Both sequences are built and checked before the first command leaves, so text that the
    // service would misread stops the save with nothing sent. The local partner's sequence does
    // not depend on the remote changes above, so the service sees the same commands in the same
    // order as when each partner is changed right before its own save.
    const std::vector<std::string> localCommands = LocalPartner->SaveCommands();
    const std::vector<std::string> remoteCommands = RemotePartner->SaveCommands();
    {
        TWaitCursor wait;
        TCommandHandler& channel = ModelChannel();
        for (const std::string& command : localCommands)
            channel.SendCommand(command);
        for (const std::string& command : remoteCommands)
            channel.SendCommand(command);
    }

    if (LocalPartner->AS2ID != OldLocalAS2ID || RemotePartner->AS2ID != OldRemoteAS2ID) {
        UpdateServiceConfig();
        MessageDlg(
            QStringLiteral("Quenfold"),
            QStringLiteral(
                "The Changes you made won't take effect until the AS2 Service is restarted."),
            mtInformation, MsgButton(mbOK));
    }
    QDialog::accept();
}

void TMainForm::ImportLocalClick(QObject* /*Sender*/) {
    const std::string path = ChooseFile(SelectLocalCertificate, QStringLiteral("*.p12"));
    if (path.empty())
        return;
    bool accepted = false;
    const QString entered = QInputDialog::getText(this, QStringLiteral("Import Local Certificate"),
                                                  QStringLiteral("Please Enter The Password"),
                                                  QLineEdit::Password, QString(), &accepted);
    const std::string password = accepted ? ToStdString(entered) : std::string();
    if (password.empty())
        return;

    const std::string alias = NextAliasFor(LocalCertificate, LocalName);
    CheckImportText("certificate alias", alias, CommandText::Alias);
    CheckImportText("certificate file path", path, CommandText::Path);
    CheckImportText("password", password, CommandText::Password);

    bool imported = false;
    {
        TWaitCursor wait;
        TCommandHandler& channel = ModelChannel();
        channel.SendCommand("Cert import " + alias + " \"" + path + "\" " + password);
        imported = channel.CertificateExists(alias);
    }
    if (imported)
        LocalCertificate->setText(ToQString(alias));
    else
        MessageDlg(
            QStringLiteral("Import Certificate"),
            QStringLiteral("Unable to import Certificate. Please check Password and try again"),
            mtError, MsgButton(mbOK));
}

void TMainForm::ImportRemoteClick(QObject* /*Sender*/) {
    const std::string path = ChooseFile(SelectRemoteCertificate, QStringLiteral("*.cer"));
    if (path.empty())
        return;

    const std::string alias = NextAliasFor(RemoteCertificate, RemoteName);
    CheckImportText("certificate alias", alias, CommandText::Alias);
    CheckImportText("certificate file path", path, CommandText::Path);
    {
        TWaitCursor wait;
        ModelChannel().SendCommand("Cert import " + alias + " \"" + path + "\"");
    }
    RemoteCertificate->setText(ToQString(alias));
}

void TMainForm::UpdateServiceConfig() {
    UpdateServiceConfigFile(ServiceConfigPath, TConfigIDs{LocalPartner->AS2ID, RemotePartner->AS2ID,
                                                          OldLocalAS2ID, OldRemoteAS2ID});
}
