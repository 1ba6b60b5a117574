#include "platform/msgbox.h"

#include "platform/exceptions.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <vector>

namespace {

bool terminating = false;

struct ButtonInfo {
    TMsgDlgBtn code;
    QMessageBox::StandardButton standard;
};

// In the order in which the box lays them out.
const ButtonInfo ButtonTable[] = {
    {mbYes, QMessageBox::Yes},       {mbNo, QMessageBox::No},       {mbOK, QMessageBox::Ok},
    {mbCancel, QMessageBox::Cancel}, {mbAbort, QMessageBox::Abort}, {mbRetry, QMessageBox::Retry},
    {mbIgnore, QMessageBox::Ignore},
};

// By TMsgDlgType; the custom kind's title is its caption.
const char* const Titles[] = {nullptr, "Information", "Warning", "Error", "Confirm"};
const QMessageBox::Icon Icons[] = {QMessageBox::NoIcon, QMessageBox::Information,
                                   QMessageBox::Warning, QMessageBox::Critical,
                                   QMessageBox::Question};

QWidget* ActiveWindow() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

} // namespace

bool ApplicationTerminating() {
    return terminating || QCoreApplication::closingDown();
}
void SetApplicationTerminating(bool value) {
    terminating = value;
}

int MessageDlg(const QString& caption, const QString& text, TMsgDlgType kind,
               TMsgDlgButtons buttons, int /*helpContext*/, const TMsgDlgOptions& options) {
    std::vector<ButtonInfo> shown;
    for (const ButtonInfo& info : ButtonTable)
        if (buttons & MsgButton(info.code))
            shown.push_back(info);
    if (shown.size() > 3)
        throw Exception("Too many buttons specified for message box");
    if (options.defaultButton && !(buttons & MsgButton(*options.defaultButton)))
        throw Exception("The default button is not one of the message box's buttons");
    if (ApplicationTerminating())
        return -1;

    QMessageBox box(options.parent ? options.parent : ActiveWindow());
    box.setWindowTitle(kind == mtCustom ? caption : QString::fromLatin1(Titles[kind]));
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    if (!options.details.isEmpty()) {
        box.setInformativeText(options.details);
        // The box guesses the informative text's format; a certificate's name may hold "<".
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextFormat(Qt::PlainText);
        box.setAccessibleDescription(options.details);
    }
    box.setIcon(Icons[options.icon.value_or(kind)]);
    QPushButton* byDefault = nullptr;
    for (const ButtonInfo& info : shown) {
        QPushButton* button = box.addButton(info.standard);
        button->setProperty("vantrelCode", int(info.code));
        for (const auto& [code, buttonText] : options.buttonTexts)
            if (code == info.code)
                button->setText(buttonText);
        if (!byDefault || options.defaultButton == info.code)
            byDefault = button;
    }
    if (byDefault)
        box.setDefaultButton(byDefault);
    box.exec();
    if (QAbstractButton* pressed = box.clickedButton())
        return pressed->property("vantrelCode").toInt();
    // Closed without a button (Escape on a box without Cancel): the default button counts.
    return byDefault ? byDefault->property("vantrelCode").toInt() : 0;
}

QString ErrorDisplayText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void ShowErrorMessage(const QString& message) {
    TMsgDlgOptions options;
    options.icon = mtError;
    MessageDlg(QString(), ErrorDisplayText(message), mtCustom, MsgButton(mbOK), 0, options);
}
