#pragma once
// The drawn layout fitted onto this platform's widgets, and the few things the window asks of
// them beyond Qt's defaults.

#include <QFont>
#include <QList>
#include <QString>
#include <QStringList>
#include <string>

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

// A file-open dialog that accepts one existing file, starting with the first filter.
QFileDialog* MakeFileDialog(QWidget* parent, const QString& name, const QString& title,
                            const QStringList& filters, const QString& suffix);

// Shows the dialog with its file name reset to the pattern; the chosen path, or empty.
std::string ChooseFile(QFileDialog* dialog, const QString& pattern);

// The value of a spin box is read from its text, in the box's locale: the minimum when the text
// is not an integer, the nearest bound when it lies outside the range.
int SpinEditValue(const QSpinBox& box);
