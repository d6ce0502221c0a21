#pragma once

#include "tunnel/tunnelrecord.h"

#include <QWidget>

namespace Ui {
class TunnelsItem;
}

// (being built)
class TunnelsItem : public QWidget
{
    Q_OBJECT

public:
    explicit TunnelsItem(QWidget *parent = nullptr);
    ~TunnelsItem() override;

    void InitItem(const TunnelRecord &record);

private:
    Ui::TunnelsItem *ui;
};
