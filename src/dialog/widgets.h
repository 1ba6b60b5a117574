#pragma once
// What the window asks of Qt's widgets beyond their defaults.

#include <QFont>
#include <QList>
#include <string>
#include <vector>

class QFileDialog;
class QLabel;
class QLineEdit;
class QSpinBox;
class QWidget;

// The layout was drawn for a font 13 pixels high: the widest face of the base font's family at
// which every label still fits the width the layout gives it.
QFont LayoutFont(const QFont& base, const QList<QLabel*>& labels);

// A read-only field takes the button face as its background.
void ShowAsReadOnly(QLineEdit* field);

// The path chosen in the certificate's file-open dialog, empty when cancelled. `shown` points at
// the dialog while it shows; nothing of it (its completer's popup) outlives the showing.
std::string ChooseCertificateFile(QWidget* parent, bool local, QFileDialog*& shown);

// The value of a spin box is read from its text, in the box's locale: the minimum when the text
// is not an integer, the nearest bound when it lies outside the range.
int SpinEditValue(const QSpinBox& box);

// While it lives, the controls are read-only (an accessibility client can set a field's text
// without any event); those that were read-only already stay so.
class TReadOnlyHold {
public:
    explicit TReadOnlyHold(const std::vector<QWidget*>& controls);
    ~TReadOnlyHold();
    TReadOnlyHold(const TReadOnlyHold&) = delete;
    TReadOnlyHold& operator=(const TReadOnlyHold&) = delete;

private:
    std::vector<QWidget*> Held;
};
