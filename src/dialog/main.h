#pragma once
#include <QDialog>
#include <memory>

namespace Ui {
class TMainForm;
}

class TMainForm : public QDialog {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

private:
    std::unique_ptr<Ui::TMainForm> ui;
};
