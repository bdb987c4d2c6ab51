#include "app/CCameSettingsDlg.h"

#include "app/ControlIds.h"
#include "resources/resource.h"

#include <QDoubleValidator>
#include <QGridLayout>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

CCameSettingsDlg::CCameSettingsDlg(CameraSettingsValues& values, QWidget* parent)
    : QDialog(parent), m_values(values) {
    setWindowTitle("Camera Settings");
    SetControlId(this, IDD_CAMERA_SETTINGS);
    auto* group = new QGroupBox("Data Camera", this);
    auto* grid = new QGridLayout(group);
    m_integration = new QLineEdit(group);
    m_gain = new QLineEdit(group);
    m_integration2 = new QLineEdit(this);
    m_gain2 = new QLineEdit(this);
    auto* doubles = new QDoubleValidator(0.0, 100000.0, 6, this);
    doubles->setLocale(QLocale::c());
    doubles->setNotation(QDoubleValidator::StandardNotation);
    m_integration->setValidator(doubles);
    m_integration2->setValidator(doubles);
    m_gain->setValidator(new QIntValidator(0, 1000000, this));
    m_gain2->setValidator(new QIntValidator(-1000000, 1000000, this));
    SetControlId(m_integration, IDC_INTEGRATION_EDIT);
    SetControlId(m_gain, IDC_GAIN_EDIT);
    SetControlId(m_integration2, IDC_INTEGRATION2_EDIT);
    SetControlId(m_gain2, IDC_GAIN2_EDIT);
    m_integration2->hide();
    m_gain2->hide();
    grid->addWidget(new QLabel("Integration", group), 0, 0);
    grid->addWidget(m_integration, 0, 1);
    grid->addWidget(new QLabel("Gain", group), 1, 0);
    grid->addWidget(m_gain, 1, 1);

    auto* ok = new QPushButton("OK", this);
    auto* cancel = new QPushButton("Cancel", this);
    SetControlId(ok, IDOK);
    SetControlId(cancel, IDCANCEL);
    ok->setDefault(true);
    cancel->hide();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(ok);
    layout->addWidget(cancel);

    // Message table.
    for (QLineEdit* e : {m_integration, m_gain, m_integration2, m_gain2})
        connect(e, &QLineEdit::textChanged, this, [this] { OnEditChanged(); });
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CCameSettingsDlg::DoDataExchange(bool save) {
    m_exchanging = true;
    if (save) {
        // A field that does not hold a number is not transferred.
        bool ok = false;
        double d = QLocale::c().toDouble(m_integration->text(), &ok);
        if (ok)
            m_values.exposure = d;
        int i = m_gain->text().toInt(&ok);
        if (ok)
            m_values.gain = i;
        d = QLocale::c().toDouble(m_integration2->text(), &ok);
        if (ok)
            m_values.secondExposure = d;
        i = m_gain2->text().toInt(&ok);
        if (ok)
            m_values.secondGain = i;
    } else {
        m_integration->setText(QString::number(m_values.exposure, 'g', 10));
        m_gain->setText(QString::number(m_values.gain));
        m_integration2->setText(QString::number(m_values.secondExposure, 'g', 10));
        m_gain2->setText(QString::number(m_values.secondGain));
    }
    m_exchanging = false;
}

int CCameSettingsDlg::exec() {
    DoDataExchange(false);
    return QDialog::exec();
}

void CCameSettingsDlg::OnEditChanged() {
    // The object follows typing: every change transfers all four edits.
    if (!m_exchanging)
        DoDataExchange(true);
}

void CCameSettingsDlg::OnOK() {
    DoDataExchange(true);
    if (onApply)
        onApply();
    DoDataExchange(false);
    accept();
}
