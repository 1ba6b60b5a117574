#include "dialog/widgets.h"

#include "platform/textconv.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

QFileDialog* MakeFileDialog(QWidget* parent, const QString& name, const QString& title,
                            const QStringList& filters, const QString& suffix) {
    auto* dialog = new QFileDialog(parent, title);
    dialog->setObjectName(name);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(filters);
    dialog->selectNameFilter(filters.front());
    dialog->setDefaultSuffix(suffix);
    dialog->setSizeGripEnabled(true);
    return dialog;
}

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

void ShowAsReadOnly(QLineEdit* field) {
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    field->setPalette(palette);
}

std::string ChooseFile(QFileDialog* dialog, const QString& pattern) {
    dialog->selectNameFilter(dialog->nameFilters().front());
    dialog->selectFile(pattern);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::string();
    return ToStdString(QDir::toNativeSeparators(dialog->selectedFiles().front()));
}

int SpinEditValue(const QSpinBox& box) {
    // The number as the box shows it, in its own locale's digits; ASCII digits typed into it
    // count too.
    const QString text = box.cleanText().trimmed();
    bool ok = false;
    int value = box.locale().toInt(text, &ok);
    if (!ok)
        value = text.toInt(&ok);
    if (!ok)
        return box.minimum();
    return qBound(box.minimum(), value, box.maximum());
}
