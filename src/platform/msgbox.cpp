#include "platform/msgbox.h"

#include "platform/exceptions.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
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

QString MessageDlgTitle(TMsgDlgType kind, const QString& caption) {
    switch (kind) {
    case mtInformation:
        return QStringLiteral("Information");
    case mtWarning:
        return QStringLiteral("Warning");
    case mtError:
        return QStringLiteral("Error");
    case mtConfirmation:
        return QStringLiteral("Confirm");
    case mtCustom:
        break;
    }
    return caption;
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
    box.setWindowTitle(MessageDlgTitle(kind, caption));
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    if (!options.details.isEmpty()) {
        box.setInformativeText(options.details);
        // The box guesses the informative text's format; a certificate's name may hold "<".
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextFormat(Qt::PlainText);
        box.setAccessibleDescription(options.details);
    }
    switch (options.icon.value_or(kind)) {
    case mtInformation:
        box.setIcon(QMessageBox::Information);
        break;
    case mtWarning:
        box.setIcon(QMessageBox::Warning);
        break;
    case mtError:
        box.setIcon(QMessageBox::Critical);
        break;
    case mtConfirmation:
        box.setIcon(QMessageBox::Question);
        break;
    case mtCustom:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    QPushButton* first = nullptr;
    QPushButton* byDefault = nullptr;
    for (const ButtonInfo& info : shown) {
        QPushButton* button = box.addButton(info.standard);
        button->setProperty("vantrelCode", int(info.code));
        for (const auto& [code, buttonText] : options.buttonTexts)
            if (code == info.code)
                button->setText(buttonText);
        if (!first)
            first = button;
        if (options.defaultButton == info.code)
            byDefault = button;
    }
    if (!byDefault)
        byDefault = first;
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
    if (ApplicationTerminating())
        return;
    QMessageBox box(ActiveWindow());
    box.setWindowTitle(QString());
    box.setIcon(QMessageBox::Critical);
    box.setTextFormat(Qt::PlainText);
    box.setText(ErrorDisplayText(message));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}
