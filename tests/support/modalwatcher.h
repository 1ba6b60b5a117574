#pragma once
// Test helper: watches for modal boxes while the code under test runs its own modal loop, records
// what each box showed, and answers it, so a test can run a handler that shows a box synchronously.

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <vector>

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString defaultButton;
    QString details; // the informative text
    QString accessibleDescription;
    bool parentVisible = false;
};

// True when no window of any kind is left open: the end of every dialog test, so that a box a
// test forgot cannot answer for the next one.
inline bool NoWindowLeft() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible())
            return false;
    return QApplication::activeModalWidget() == nullptr;
}

class ModalWatcher : public QObject {
public:
    // `answer` acts on each modal widget found; by default a message box is answered with its
    // default button (or its first) and any other dialog is rejected.
    explicit ModalWatcher(std::function<void(QWidget*)> answer = {}) : answer(std::move(answer)) {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(10);
    }

    std::vector<SeenBox> boxes;
    std::vector<QString> otherDialogs; // class names of non-box modal dialogs seen

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            last = nullptr; // a dialog shown again later is a new showing
        if (!modal || modal == last)
            return;
        if (!modal->isVisible())
            return;
        last = modal;
        // The same dialog may be shown again; each showing is answered anew.
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            connect(
                dialog, &QDialog::finished, this, [this] { last = nullptr; },
                Qt::SingleShotConnection);
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            SeenBox seen;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            for (QAbstractButton* b : box->buttons())
                seen.buttons << b->text();
            if (box->defaultButton())
                seen.defaultButton = box->defaultButton()->text();
            seen.details = box->informativeText();
            seen.accessibleDescription = box->accessibleDescription();
            seen.parentVisible = box->parentWidget() && box->parentWidget()->isVisible();
            boxes.push_back(seen);
        } else {
            otherDialogs.push_back(QString::fromLatin1(modal->metaObject()->className()));
        }
        QPointer<QWidget> target(modal);
        QTimer::singleShot(0, modal, [this, target] {
            if (!target)
                return;
            if (answer) {
                answer(target);
                return;
            }
            if (auto* box = qobject_cast<QMessageBox*>(target.data())) {
                QAbstractButton* button = box->defaultButton();
                if (!button && !box->buttons().isEmpty())
                    button = box->buttons().front();
                if (button)
                    button->click();
            } else if (auto* dialog = qobject_cast<QDialog*>(target.data())) {
                dialog->reject();
            }
        });
    }

    std::function<void(QWidget*)> answer;
    QTimer timer;
    QPointer<QWidget> last;
};
