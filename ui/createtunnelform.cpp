#include "createtunnelform.h"

#include "ui_createtunnelform.h"

CreateTunnelForm::CreateTunnelForm(QWidget *parent) : QWidget(parent), ui(new Ui::CreateTunnelForm)
{
    ui->setupUi(this);
}

CreateTunnelForm::~CreateTunnelForm()
{
    delete ui;
}
