#include "scanner/CScannerSettings.h"

#include "core/ValueRanges.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleValidator>
#include <QGridLayout>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>
#include <climits>
#include <cmath>
#include <optional>

namespace {

namespace Ids = ScannerSettingsIds;

// Entries of the two lists, in the order of the dialog template.
const char* const kBaudEntries[] = {"115200", "1200", "2400", "4800", "9600", "18200", "38400", "57600"};

std::optional<int32_t> IntOf(const QLineEdit* edit) {
    bool ok = false;
    const int v = edit->text().trimmed().toInt(&ok);
    return ok ? std::optional<int32_t>(v) : std::nullopt;
}

std::optional<double> DoubleOf(const QLineEdit* edit) {
    bool ok = false;
    const double v = QLocale::c().toDouble(edit->text().trimmed(), &ok);
    return ok && std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

// Lines of a scan, for the checks of the step and the scan start (the step after the last line is
// commanded too).
constexpr int kScanLines = 696;

// Whether a step moves the mirror at all over a scan.
bool StepMoves(double step) {
    return std::isfinite(step) && std::fabs(step) * kScanLines >= 1.0;
}

QString DoubleText(double v) {
    return QLocale::c().toString(v, 'g', 15);
}

// Selects the entry whose text equals value; nothing when there is none.
void SelectEntry(QComboBox* combo, const std::string& value) {
    combo->setCurrentIndex(combo->findText(QString::fromStdString(value), Qt::MatchExactly));
}

} // namespace

CScannerSettings::CScannerSettings(ScannerSettingsValues& values, ScannerLink& link, UserPrompts& prompts,
                                   QWidget* parent)
    : QDialog(parent), m_values(values), m_link(link), m_prompts(prompts) {
    setWindowTitle("Scanner Settings");
    SetControlId(this, IDD_SCANNER_SETTINGS);

    auto* communication = new QGroupBox("Communication", this);
    m_comPort = new QComboBox(communication);
    for (int n = 1; n <= 10; ++n)
        m_comPort->addItem(QStringLiteral("COM%1").arg(n));
    m_baudRate = new QComboBox(communication);
    for (const char* entry : kBaudEntries)
        m_baudRate->addItem(entry);
    m_baudRate->setEnabled(false);
    auto* commGrid = new QGridLayout(communication);
    commGrid->addWidget(new QLabel("Scanner COM Port", communication), 0, 0);
    commGrid->addWidget(m_comPort, 0, 1);
    commGrid->addWidget(new QLabel("Baud rate", communication), 1, 0);
    commGrid->addWidget(m_baudRate, 1, 1);

    auto* calibration = new QGroupBox("Calibration", this);
    auto* calGrid = new QGridLayout(calibration);
    auto* ints = new QIntValidator(INT_MIN, INT_MAX, this);
    auto* doubles = new QDoubleValidator(this);
    doubles->setLocale(QLocale::c());
    doubles->setNotation(QDoubleValidator::StandardNotation);
    int row = 0;
    auto addEdit = [&](const char* label, int id, QValidator* validator, bool hidden) {
        auto* edit = new QLineEdit(calibration);
        auto* text = new QLabel(label, calibration);
        edit->setValidator(validator);
        SetControlId(edit, id);
        calGrid->addWidget(text, row, 0);
        calGrid->addWidget(edit, row, 1);
        ++row;
        if (hidden) {
            text->hide();
            edit->hide();
        }
        return edit;
    };
    m_scanStart = addEdit("Scan Start Position", Ids::kScanStart, ints, false);
    m_center = addEdit("On-Center Position", Ids::kCenter, ints, false);
    m_focus = addEdit("Focus Position", Ids::kFocus, ints, false);
    m_stepSize = addEdit("Step Size", Ids::kStepSize, doubles, false);
    m_corridor = addEdit("Corridor", Ids::kCorridor, ints, true);
    m_delay = addEdit("Delay ms", Ids::kDelay, ints, true);
    m_delay->setEnabled(false);

    m_scannerEnabled = new QCheckBox("Scanner Enabled", this);
    m_checkPosition = new QCheckBox("Check Scanner Position", this);
    m_relativePos = new QCheckBox("Relative Pos.", this);
    m_absolutePos = new QCheckBox("Absolute Pos.", this);
    m_findHome = new QPushButton("Find Home", this);
    m_relativePos->setEnabled(false);
    for (QWidget* w : {static_cast<QWidget*>(m_scannerEnabled), static_cast<QWidget*>(m_checkPosition),
                       static_cast<QWidget*>(m_relativePos), static_cast<QWidget*>(m_absolutePos),
                       static_cast<QWidget*>(m_findHome)})
        w->hide();

    SetControlId(m_comPort, Ids::kComPort);
    SetControlId(m_baudRate, Ids::kBaudRate);
    SetControlId(m_scannerEnabled, Ids::kScannerEnabled);
    SetControlId(m_checkPosition, Ids::kCheckPosition);
    SetControlId(m_relativePos, Ids::kRelativePos);
    SetControlId(m_absolutePos, Ids::kAbsolutePos);
    SetControlId(m_findHome, Ids::kFindHome);

    auto* ok = new QPushButton("OK", this);
    SetControlId(ok, IDOK);
    ok->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(communication);
    layout->addWidget(calibration);
    layout->addWidget(m_scannerEnabled);
    layout->addWidget(m_checkPosition);
    layout->addWidget(m_relativePos);
    layout->addWidget(m_absolutePos);
    layout->addWidget(m_findHome);
    layout->addWidget(ok);

    // Message table. The combos answer the user's choice only (activated), not the selection the
    // dialog makes itself when it shows the values.
    connect(m_comPort, &QComboBox::activated, this, &CScannerSettings::OnPortSelected);
    connect(m_baudRate, &QComboBox::activated, this, &CScannerSettings::OnBaudSelected);
    connect(m_stepSize, &QLineEdit::textChanged, this, &CScannerSettings::OnStepSizeChanged);
    connect(m_stepSize, &QLineEdit::editingFinished, this, &CScannerSettings::OnStepSizeChanged);
    connect(m_corridor, &QLineEdit::textChanged, this, &CScannerSettings::OnCorridorChanged);
    connect(m_center, &QLineEdit::textChanged, this, &CScannerSettings::OnCenterChanged);
    connect(m_scanStart, &QLineEdit::textChanged, this, &CScannerSettings::OnScanStartChanged);
    connect(m_delay, &QLineEdit::textChanged, this, &CScannerSettings::OnDelayChanged);
    connect(m_scannerEnabled, &QCheckBox::clicked, this, &CScannerSettings::OnScannerEnabledClicked);
    connect(m_checkPosition, &QCheckBox::clicked, this, &CScannerSettings::OnCheckPositionClicked);
    connect(m_relativePos, &QCheckBox::clicked, this, &CScannerSettings::OnRelativeClicked);
    connect(m_absolutePos, &QCheckBox::clicked, this, &CScannerSettings::OnAbsoluteClicked);
    connect(m_findHome, &QPushButton::clicked, this, &CScannerSettings::OnFindHome);
    connect(ok, &QPushButton::clicked, this, &CScannerSettings::OnOK);
}

int CScannerSettings::exec() {
    OnInitDialog();
    return QDialog::exec();
}

void CScannerSettings::open() {
    OnInitDialog();
    QDialog::open();
}

void CScannerSettings::OnInitDialog() {
    m_values.SetVelocity(ScannerVelocity());
    // One position exchange per opening, whether or not the controller is connected.
    int32_t position = 0;
    m_link.QueryMirrorPosition(position);
    m_values.SetLastPosition(position);
    DoDataExchange(false);
}

bool CScannerSettings::DoDataExchange(bool save) {
    if (!save) {
        m_exchanging = true;
        SelectEntry(m_comPort, m_values.m_comPort);
        SelectEntry(m_baudRate, m_values.m_baudRate);
        m_scanStart->setText(QString::number(m_values.GetScanStartPosition()));
        m_center->setText(QString::number(m_values.GetCenterPosition()));
        m_focus->setText(QString::number(m_values.GetFocusPosition()));
        m_stepSize->setText(DoubleText(m_values.GetStepSize()));
        m_corridor->setText(QString::number(m_values.GetCorridor()));
        m_delay->setText(QString::number(m_values.GetDelayMs()));
        m_scannerEnabled->setChecked(m_values.GetScannerEnabled() != 0);
        m_checkPosition->setChecked(m_values.GetCheckPosition() != 0);
        m_relativePos->setChecked(m_values.GetRelativePos() != 0);
        m_absolutePos->setChecked(m_values.GetAbsolutePos() != 0);
        m_exchanging = false;
        return true;
    }

    // Every field is checked before anything is taken, so a refused field leaves all members as
    // they were.
    const auto scanStart = IntOf(m_scanStart);
    const auto center = IntOf(m_center);
    const auto focus = IntOf(m_focus);
    const auto step = DoubleOf(m_stepSize);
    const auto corridor = IntOf(m_corridor);
    const auto delay = IntOf(m_delay);
    struct Check {
        bool valid;
        QLineEdit* edit;
        const char* prompt;
    };
    for (const Check& c :
         {Check{scanStart.has_value(), m_scanStart, kEnterInteger},
          Check{center.has_value(), m_center, kEnterInteger},
          Check{focus.has_value(), m_focus, kEnterInteger}, Check{step.has_value(), m_stepSize, kEnterNumber},
          Check{corridor.has_value(), m_corridor, kEnterInteger},
          Check{delay.has_value(), m_delay, kEnterInteger}}) {
        if (!c.valid) {
            m_prompts.Message(c.prompt);
            c.edit->setFocus();
            c.edit->selectAll();
            return false;
        }
    }
    // Numbers outside the instrument's meaning: the dialog stays open on the field, nothing is taken.
    auto refuse = [this](QLineEdit* edit, const std::string& text) {
        m_prompts.Message(text);
        edit->setFocus();
        edit->selectAll();
        return false;
    };
    if (!StepMoves(*step))
        return refuse(m_stepSize,
                      *step == 0.0 ? "Step Size 0: every line would be taken at the same mirror position."
                                   : "Step Size " + NumberText(*step) + ": a " + std::to_string(kScanLines) +
                                         "-line scan would move the mirror by less than one count.");
    if (!ScanFitsMirrorRange(*scanStart, *step, kScanLines))
        return refuse(m_scanStart, "A scan of " + std::to_string(kScanLines) +
                                       " lines from the Scan Start Position " + std::to_string(*scanStart) +
                                       " with the Step Size " + NumberText(*step) +
                                       " would leave the mirror's range (-2147483648 to 2147483647).");
    if (*corridor < 0)
        return refuse(m_corridor, "The Corridor cannot be negative.");
    if (*delay < 0)
        return refuse(m_delay, "The delay cannot be negative.");
    // A list with nothing selected (a stored name that is not in it) keeps the stored name.
    if (m_comPort->currentIndex() >= 0)
        m_values.m_comPort = m_comPort->currentText().toStdString();
    if (m_baudRate->currentIndex() >= 0)
        m_values.m_baudRate = m_baudRate->currentText().toStdString();
    m_values.SetScanStartPosition(*scanStart);
    m_values.SetCenterPosition(*center);
    m_values.SetFocusPosition(*focus);
    m_values.SetStepSize(*step);
    m_values.SetCorridor(*corridor);
    m_values.SetDelayMs(*delay);
    m_values.SetScannerEnabled(m_scannerEnabled->isChecked() ? 1 : 0);
    m_values.SetCheckPosition(m_checkPosition->isChecked() ? 1 : 0);
    m_values.SetRelativePos(m_relativePos->isChecked() ? 1 : 0);
    m_values.SetAbsolutePos(m_absolutePos->isChecked() ? 1 : 0);
    return true;
}

void CScannerSettings::OnPortSelected(int index) {
    if (index < 0)
        return;
    m_link.DisconnectScanner();
    m_values.m_comPort = m_comPort->itemText(index).toStdString();
    m_link.ConnectScanner();
}

void CScannerSettings::OnBaudSelected(int index) {
    if (index < 0)
        return;
    m_link.DisconnectScanner();
    m_values.m_baudRate = m_baudRate->itemText(index).toStdString();
    m_link.ConnectScanner();
}

// The edits below follow typing; text that is not (yet) a number, or a number outside the
// instrument's meaning (a step that does not move the mirror, a scan leaving the mirror's range, a
// negative corridor or delay), leaves the member as it was. OK says what is wrong.

void CScannerSettings::OnStepSizeChanged() {
    if (m_exchanging)
        return;
    if (const auto v = DoubleOf(m_stepSize);
        v && StepMoves(*v) && ScanFitsMirrorRange(m_values.GetScanStartPosition(), *v, kScanLines))
        m_values.SetStepSize(*v);
}

void CScannerSettings::OnCorridorChanged() {
    if (m_exchanging)
        return;
    if (const auto v = IntOf(m_corridor); v && *v >= 0)
        m_values.SetCorridor(*v);
}

void CScannerSettings::OnCenterChanged() {
    if (m_exchanging)
        return;
    if (const auto v = IntOf(m_center))
        m_values.SetCenterPosition(*v);
}

void CScannerSettings::OnScanStartChanged() {
    if (m_exchanging)
        return;
    if (const auto v = IntOf(m_scanStart); v && ScanFitsMirrorRange(*v, m_values.GetStepSize(), kScanLines))
        m_values.SetScanStartPosition(*v);
}

void CScannerSettings::OnDelayChanged() {
    if (m_exchanging)
        return;
    if (const auto v = IntOf(m_delay); v && *v >= 0) {
        m_values.SetDelayMs(*v);
        if (setScannerDelayMs)
            setScannerDelayMs(*v);
    }
}

void CScannerSettings::OnScannerEnabledClicked() {
    m_link.EnableScannerDrive(m_values.GetScannerEnabled() != 1);
    m_values.SetScannerEnabled(m_scannerEnabled->isChecked() ? 1 : 0);
}

void CScannerSettings::OnCheckPositionClicked() {
    const bool ticked = m_checkPosition->isChecked();
    m_values.SetCheckPosition(ticked ? 1 : 0);
    m_link.m_waitForArrival = ticked;
}

void CScannerSettings::OnRelativeClicked() {
    m_absolutePos->setChecked(!m_relativePos->isChecked());
    m_values.SetRelativePos(m_relativePos->isChecked() ? 1 : 0);
    m_values.SetAbsolutePos(m_absolutePos->isChecked() ? 1 : 0);
}

void CScannerSettings::OnAbsoluteClicked() {
    m_relativePos->setChecked(!m_absolutePos->isChecked());
    m_values.SetRelativePos(m_relativePos->isChecked() ? 1 : 0);
    m_values.SetAbsolutePos(m_absolutePos->isChecked() ? 1 : 0);
}

void CScannerSettings::OnFindHome() {
    m_link.StartHomingSequence();
    DoDataExchange(false);
}

void CScannerSettings::OnOK() {
    if (!DoDataExchange(true))
        return;
    SetScannerVelocity(m_values.GetVelocity());
    if (saveSettings)
        saveSettings();
    accept();
}
