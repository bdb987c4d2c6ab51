#pragma once
#include <QDialog>

// "About ARV300 Data Acquisition Software" (dialog 100).
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
