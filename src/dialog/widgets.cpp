#include "dialog/widgets.h"

#include "platform/textconv.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QSpinBox>
#include <memory>

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

std::string ChooseFile(QWidget* parent, const TFileChoice& choice, QFileDialog*& shown) {
    const auto dialog = std::make_unique<QFileDialog>(parent, QString::fromUtf8(choice.Title));
    shown = dialog.get();
    const auto gone = qScopeGuard([&shown] { shown = nullptr; });
    dialog->setObjectName(QString::fromUtf8(choice.Name));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setOption(QFileDialog::HideNameFilterDetails, !choice.ShowPatterns);
    dialog->setNameFilters(choice.Filters);
    dialog->selectNameFilter(choice.Filters.front());
    dialog->setDefaultSuffix(QString::fromUtf8(choice.Suffix));
    dialog->setSizeGripEnabled(true);
    dialog->selectFile(QString::fromUtf8(choice.Pattern));
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
