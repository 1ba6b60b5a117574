#pragma once
// The one message box service of the dialog's own code, and the application's error display.

#include <QString>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

class QWidget;

enum TMsgDlgType { mtCustom, mtInformation, mtWarning, mtError, mtConfirmation };

// Button codes; a button set holds bit (1 << code) for each button.
enum TMsgDlgBtn { mbOK = 1, mbCancel, mbYes, mbNo, mbAbort, mbRetry, mbIgnore };
using TMsgDlgButtons = std::uint32_t;

constexpr TMsgDlgButtons MsgButton(TMsgDlgBtn button) {
    return TMsgDlgButtons(1) << button;
}

// What a box may have beyond its kind and buttons; left empty, the box is as the kind makes it.
struct TMsgDlgOptions {
    // The button that Return presses; none: the first button shown.
    std::optional<TMsgDlgBtn> defaultButton;
    // Texts in place of the buttons' own ("Import" on OK); the code pressed stays the button's.
    std::vector<std::pair<TMsgDlgBtn, QString>> buttonTexts;
    // The icon of this kind in place of the box's own; a custom box keeps its caption as title.
    std::optional<TMsgDlgType> icon;
    // Shown below the text, and the box's accessible description, so a screen reader reads them.
    QString details;
    // The window the box stands over; none: the active window.
    QWidget* parent = nullptr;
};

// Shows a modal box titled by its kind (a custom box by its caption) and returns the code of the
// pressed button; -1, showing nothing, while the application is terminating. More than three
// buttons, or a default button not shown, raise an Exception.
int MessageDlg(const QString& caption, const QString& text, TMsgDlgType kind,
               TMsgDlgButtons buttons, int helpContext = 0,
               const TMsgDlgOptions& options = TMsgDlgOptions());

// The application's error display: empty caption, critical icon, one OK button.
void ShowErrorMessage(const QString& message);

// The message as the error display shows it: a full stop appended when the last character sorts
// after ".".
QString ErrorDisplayText(const QString& message);

// Set once the event loop has been told to end; later boxes are not shown.
bool ApplicationTerminating();
void SetApplicationTerminating(bool terminating);
