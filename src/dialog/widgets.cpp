#include "dialog/widgets.h"

#include "platform/textconv.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QSpinBox>
#include <memory>

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

std::string ChooseCertificateFile(QWidget* parent, bool local, QFileDialog*& shown) {
    const QString title = local ? QStringLiteral("Select Local Certificate")
                                : QStringLiteral("Select Remote Certificate");
    const QString suffix = local ? QStringLiteral("p12") : QStringLiteral("cer");
    const QStringList filters = local ? QStringList{QStringLiteral("Local Key Exchange (*.p12)"),
                                                    QStringLiteral("Personal Key Exchange (*.pfx)")}
                                      : QStringList{QStringLiteral("Certificates (*.cer)")};
    const auto dialog = std::make_unique<QFileDialog>(parent, title);
    shown = dialog.get();
    const auto gone = qScopeGuard([&shown] { shown = nullptr; });
    dialog->setObjectName(QString(title).remove(QLatin1Char(' ')));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    // The remote filter reads "Certificates": its pattern stays out of sight.
    dialog->setOption(QFileDialog::HideNameFilterDetails, !local);
    dialog->setNameFilters(filters);
    dialog->selectNameFilter(filters.front());
    dialog->setDefaultSuffix(suffix);
    dialog->setSizeGripEnabled(true);
    dialog->selectFile(QStringLiteral("*.") + suffix);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::string();
    return ToStdString(QDir::toNativeSeparators(dialog->selectedFiles().front()));
}

int SpinEditValue(const QSpinBox& box) {
    // The number as the box shows it, in its locale's digits; ASCII digits typed in count too.
    const QString text = box.cleanText().trimmed();
    bool ok = false;
    int value = box.locale().toInt(text, &ok);
    if (!ok)
        value = text.toInt(&ok);
    if (!ok)
        return box.minimum();
    return qBound(box.minimum(), value, box.maximum());
}

TReadOnlyHold::TReadOnlyHold(const std::vector<QWidget*>& controls) {
    for (QWidget* control : controls)
        if (!control->property("readOnly").toBool()) {
            control->setProperty("readOnly", true);
            Held.push_back(control);
        }
}

TReadOnlyHold::~TReadOnlyHold() {
    for (QWidget* control : Held)
        control->setProperty("readOnly", false);
}
