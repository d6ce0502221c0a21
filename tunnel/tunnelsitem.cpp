#include "tunnelsitem.h"

#include "ui_tunnelsitem.h"

TunnelsItem::TunnelsItem(QWidget *parent) : QWidget(parent), ui(new Ui::TunnelsItem)
{
    ui->setupUi(this);
}

TunnelsItem::~TunnelsItem()
{
    delete ui;
}

void TunnelsItem::InitItem(const TunnelRecord &)
{
}
