#include "main.h"

#include "guard.h"

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

// The icon lives in this static library's resources, which must be registered by hand.
static void InitDialogResources() { Q_INIT_RESOURCE(resources); }

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

void TMainForm::OKClick(QObject* /*Sender*/) {}

void TMainForm::FormShow(QObject* /*Sender*/) {}

void TMainForm::ImportLocalClick(QObject* /*Sender*/) {}

void TMainForm::ImportRemoteClick(QObject* /*Sender*/) {}

void TMainForm::UpdateServiceConfig() {}
