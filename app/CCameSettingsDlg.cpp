#include "app/CCameSettingsDlg.h"

#include "resources/ControlIds.h"
#include "resources/resource.h"

#include "core/ValueRanges.h"

#include <QDoubleValidator>
#include <QGridLayout>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>
#include <optional>

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
    auto* doubles = new QDoubleValidator(0.0, ValueRange::kMaxIntegrationMs, 6, this);
    doubles->setLocale(QLocale::c());
    doubles->setNotation(QDoubleValidator::StandardNotation);
    m_integration->setValidator(doubles);
    m_integration2->setValidator(doubles);
    m_gain->setValidator(new QIntValidator(0, ValueRange::kMaxGain, this));
    m_gain2->setValidator(new QIntValidator(0, ValueRange::kMaxGain, this));
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

namespace {
// The edit's number when it lies from lo to hi.
std::optional<double> NumberIn(const QLineEdit* edit, double lo, double hi) {
    bool ok = false;
    const double d = QLocale::c().toDouble(edit->text().trimmed(), &ok);
    return ok && std::isfinite(d) && d >= lo && d <= hi ? std::optional<double>(d) : std::nullopt;
}
std::optional<int> WholeIn(const QLineEdit* edit, int lo, int hi) {
    bool ok = false;
    const int i = edit->text().trimmed().toInt(&ok);
    return ok && i >= lo && i <= hi ? std::optional<int>(i) : std::nullopt;
}
} // namespace

void CCameSettingsDlg::DoDataExchange(bool save) {
    m_exchanging = true;
    if (save) {
        // A field that does not hold a number within its range is not transferred: the member keeps
        // its last good value.
        using namespace ValueRange;
        if (const auto d = NumberIn(m_integration, kMinIntegrationMs, kMaxIntegrationMs))
            m_values.exposure = *d;
        if (const auto i = WholeIn(m_gain, kMinGain, kMaxGain))
            m_values.gain = *i;
        if (const auto d = NumberIn(m_integration2, 0.0, kMaxIntegrationMs))
            m_values.secondExposure = *d;
        if (const auto i = WholeIn(m_gain2, 0, kMaxGain))
            m_values.secondGain = *i;
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
    // A visible field outside its range keeps the dialog open on it, with the range.
    using namespace ValueRange;
    auto refuse = [this](QLineEdit* edit, const std::string& text) {
        if (onMessage)
            onMessage(text);
        edit->setFocus();
        edit->selectAll();
    };
    if (!NumberIn(m_integration, kMinIntegrationMs, kMaxIntegrationMs)) {
        refuse(m_integration, "Integration must be a number of milliseconds from 0.001 to 60000.");
        return;
    }
    if (!WholeIn(m_gain, kMinGain, kMaxGain)) {
        refuse(m_gain, "Gain must be a whole number from 1 to 1000.");
        return;
    }
    DoDataExchange(true);
    if (onApply)
        onApply();
    DoDataExchange(false);
    accept();
}
