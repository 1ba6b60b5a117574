#pragma once
// The configuration window: its controls, its handlers and the dialog state of the unit.

#include "ui_main.h"

#include "partners.h"

#include <QDialog>
#include <QStringList>
#include <memory>
#include <string>

class QFileDialog;
class QSpinBox;

class TMainForm : public QDialog, public Ui::TMainForm {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    QFileDialog* SelectRemoteCertificate = nullptr;
    QFileDialog* SelectLocalCertificate = nullptr;

    // The configuration file that UpdateServiceConfig rewrites; tests point it elsewhere.
    std::string ServiceConfigPath;
    // The program's command line; the first argument after the program names the remote partner.
    QStringList Arguments;

public Q_SLOTS:
    void CancelClick(QObject* Sender);
    void OKClick(QObject* Sender);
    void FormShow(QObject* Sender);
    void ImportLocalClick(QObject* Sender);
    void ImportRemoteClick(QObject* Sender);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    void UpdateServiceConfig();
    void BindHandler(QPushButton* button, void (TMainForm::*handler)(QObject*));

    bool shownOnce = false;
};

// The value of a spin box is read from its text: the minimum when the text is not an integer,
// the nearest bound when it lies outside the range.
int SpinEditValue(const QSpinBox& box);

// The single window, created at start-up.
extern TMainForm* MainForm;

// The dialog state: the two partners and their AS2 IDs as FormShow loaded them. It belongs to the
// unit, one of each for the whole run.
extern std::unique_ptr<TPartner> LocalPartner;
extern std::unique_ptr<TPartner> RemotePartner;
extern std::string OldLocalAS2ID;
extern std::string OldRemoteAS2ID;

// Back to the state before FormShow; for tests that run several dialogs in one process.
void ResetDialogState();
