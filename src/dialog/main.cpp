#include "main.h"

#include "ui_main.h"

TMainForm::TMainForm(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TMainForm>()) {
    ui->setupUi(this);
}

TMainForm::~TMainForm() = default;
