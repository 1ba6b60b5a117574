#pragma once
// The configuration window: its controls, its handlers and the dialog state of the unit.

#include "ui_main.h"

#include <QDialog>
#include <memory>
#include <string>

class QFileDialog;
class QSpinBox;
class TPartner;

class TMainForm : public QDialog, public Ui::TMainForm {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    QFileDialog* SelectRemoteCertificate = nullptr;
    QFileDialog* SelectLocalCertificate = nullptr;

    // The configuration file that UpdateServiceConfig rewrites; tests point it elsewhere.
    std::string ServiceConfigPath;

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
