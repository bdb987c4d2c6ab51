#include "app/AboutDlg.h"

#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About ARV300 Data Acquisition Software");
    SetControlId(this, IDD_ABOUTBOX);
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
    auto* texts = new QVBoxLayout;
    texts->addWidget(new QLabel("ARV300 Data Acquisition Software", this));
    texts->addWidget(new QLabel("Version 1.0.3.1", this));
    auto* ok = new QPushButton("OK", this);
    SetControlId(ok, IDOK);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addLayout(texts);
    row->addWidget(ok, 0, Qt::AlignTop);
    setLayout(row);
}
