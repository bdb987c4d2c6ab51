#include "calibration/CCalibrationDlg2.h"

#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {
constexpr const char* kBinningCaptions[8] = {"Binning 1x1", "Binning 1x2", "Binning 1x4", "Binning 1x8",
                                             "Binning 2x1", "Binning 2x2", "Binning 2x4", "Binning 2x8"};
} // namespace

CCalibrationDlg2::CCalibrationDlg2(UserPrompts& prompts, QWidget* parent)
    : QDialog(parent), m_prompts(prompts) {
    setWindowTitle("Calibration");
    SetControlId(this, CalDlgId::kDialog);

    m_prefixEdit = new QLineEdit(this);
    SetControlId(m_prefixEdit, CalDlgId::kPrefix);
    auto* browse = new QPushButton("...", this);
    SetControlId(browse, CalDlgId::kBrowse);
    browse->setFixedWidth(32);

    auto* binning = new QGroupBox(this);
    auto* binGrid = new QGridLayout(binning);
    for (size_t i = 0; i < m_binningBoxes.size(); ++i) {
        m_binningBoxes[i] = new QCheckBox(kBinningCaptions[i], binning);
        SetControlId(m_binningBoxes[i], CalDlgId::kBinningBoxes[i]);
        binGrid->addWidget(m_binningBoxes[i], int(i % 4), int(i / 4));
    }
    // 1x1 and 2x1 cannot be chosen.
    m_binningBoxes[0]->setEnabled(false);
    m_binningBoxes[4]->setEnabled(false);

    m_spectralRangeBox = new QCheckBox("Spectral Range", this);
    SetControlId(m_spectralRangeBox, CalDlgId::kSpectralRange);
    m_spectralRangeBox->setEnabled(false);

    m_endEdit = new QLineEdit(this);
    SetControlId(m_endEdit, CalDlgId::kWavelengthEnd);
    m_endEdit->setValidator(new QIntValidator(0, 65535, this));
    m_portEdit = new QLineEdit(this);
    SetControlId(m_portEdit, CalDlgId::kComPort);
    m_portEdit->setValidator(new QIntValidator(1, 10, this));

    m_startSpectralCal = new QPushButton("Start Spectral Cal", this);
    SetControlId(m_startSpectralCal, CalDlgId::kStartSpectralCal);
    auto* help = new QPushButton("Help", this);
    SetControlId(help, CalDlgId::kHelp);
    // The automatic calibration run: a flat-field stack of the uniform source per ticked mode.
    auto* start = m_start = new QPushButton("Start", this);
    SetControlId(start, CalDlgId::kStart);
    start->setToolTip("Automatic calibration: one flat-field stack of the integrating sphere in white "
                      "light per ticked binning mode, saved as PREFIX_MODE_flat.cal");
    auto* stop = m_stop = new QPushButton("Stop", this);
    SetControlId(stop, CalDlgId::kStop);
    stop->setToolTip("Ends the automatic calibration after the stack under way, which is saved");
    stop->setEnabled(false);
    m_autoCalText = new QLabel("Automatic calibration: not started", this);
    SetControlId(m_autoCalText, CalDlgId::kAutoCalProgress);
    m_autoCalBar = new QProgressBar(this);
    SetControlId(m_autoCalBar, CalDlgId::kAutoCalBar);
    m_autoCalBar->setRange(0, 1);
    m_autoCalBar->setValue(0);
    auto* ok = new QPushButton("OK", this);
    SetControlId(ok, IDOK);
    ok->setDefault(true);

    auto* range = new QGridLayout;
    range->addWidget(new QLabel("Wavelength Start", this), 0, 0);
    range->addWidget(new QLabel("Wavelength End", this), 0, 1);
    range->addWidget(new QLabel("Step Size", this), 0, 2);
    range->addWidget(m_endEdit, 1, 1);
    range->addWidget(new QLabel("COM Port", this), 2, 0);
    range->addWidget(m_portEdit, 2, 1);
    range->addWidget(m_spectralRangeBox, 2, 2);

    auto* prefixRow = new QHBoxLayout;
    prefixRow->addWidget(m_prefixEdit, 1);
    prefixRow->addWidget(browse);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_startSpectralCal);
    buttons->addWidget(start);
    buttons->addWidget(stop);
    buttons->addStretch(1);
    buttons->addWidget(help);
    buttons->addWidget(ok);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Save as (directory and prefix):", this));
    layout->addLayout(prefixRow);
    layout->addWidget(binning);
    layout->addLayout(range);
    layout->addLayout(buttons);
    layout->addWidget(m_autoCalText);
    layout->addWidget(m_autoCalBar);

    DoDataExchange(false);

    // Message table.
    for (QCheckBox* box : m_binningBoxes)
        connect(box, &QCheckBox::clicked, this, [this] { OnControlChanged(); });
    connect(m_spectralRangeBox, &QCheckBox::clicked, this, [this] { OnControlChanged(); });
    for (QLineEdit* e : {m_prefixEdit, m_endEdit, m_portEdit})
        connect(e, &QLineEdit::textChanged, this, [this] { OnControlChanged(); });
    connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(help, &QPushButton::clicked, this, [this] { OnHelp(); });
    connect(m_startSpectralCal, &QPushButton::clicked, this, [this] { OnStartSpectralCal(); });
    connect(start, &QPushButton::clicked, this, [this] { OnStartAutoCal(); });
    connect(stop, &QPushButton::clicked, this, [this] {
        if (m_autoCalRunning && onStopAutoCal)
            onStopAutoCal();
        else if (m_running && onStopSpectralCal)
            onStopSpectralCal();
    });
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void CCalibrationDlg2::DoDataExchange(bool save) {
    m_exchanging = true;
    if (save) {
        m_calPrefix = m_prefixEdit->text().toStdString();
        for (size_t i = 0; i < m_binningBoxes.size(); ++i)
            m_binning[i] = m_binningBoxes[i]->isChecked() ? 1 : 0;
        m_spectralRange = m_spectralRangeBox->isChecked() ? 1 : 0;
        // An edit that does not hold a number within its range keeps the previous value: the
        // monochromator takes a wavelength of 16 bits, and the ports are COM1 ... COM10.
        bool ok = false;
        int v = m_endEdit->text().toInt(&ok);
        if (ok && v >= 0 && v <= 65535)
            m_wavelengthEnd = v;
        v = m_portEdit->text().toInt(&ok);
        if (ok && v >= 1 && v <= 10)
            m_monoComPort = v;
    } else {
        m_prefixEdit->setText(QString::fromStdString(m_calPrefix));
        for (size_t i = 0; i < m_binningBoxes.size(); ++i)
            m_binningBoxes[i]->setChecked(m_binning[i] != 0);
        m_spectralRangeBox->setChecked(m_spectralRange != 0);
        m_endEdit->setText(QString::number(m_wavelengthEnd));
        m_portEdit->setText(QString::number(m_monoComPort));
    }
    m_exchanging = false;
}

int CCalibrationDlg2::exec() {
    DoDataExchange(false);
    return QDialog::exec();
}

void CCalibrationDlg2::OnControlChanged() {
    if (!m_exchanging)
        DoDataExchange(true);
}

void CCalibrationDlg2::OnBrowse() {
    if (std::optional<std::string> path = m_prompts.AskSavePath(m_calPrefix)) {
        m_calPrefix = *path;
        DoDataExchange(false);
    }
}

void CCalibrationDlg2::OnHelp() {
    m_prompts.Message(kCalibrationHelpText);
}

void CCalibrationDlg2::OnStartAutoCal() {
    if (m_running || m_autoCalRunning || !onStartAutoCal)
        return;
    std::array<bool, 8> modes{};
    for (size_t i = 0; i < modes.size(); ++i)
        modes[i] = m_binning[i] != 0;
    onStartAutoCal(modes, m_calPrefix);
}

void CCalibrationDlg2::SetAutoCalRunning(bool running) {
    m_autoCalRunning = running;
    // One run of either kind at a time.
    m_start->setEnabled(!running);
    m_stop->setEnabled(running);
    m_startSpectralCal->setEnabled(!running);
}

void CCalibrationDlg2::ShowAutoCalProgress(const std::string& text, int done, int total) {
    m_autoCalText->setText(QString::fromStdString(text));
    m_autoCalBar->setRange(0, std::max(1, total));
    m_autoCalBar->setValue(std::clamp(done, 0, std::max(1, total)));
}

void CCalibrationDlg2::OnStartSpectralCal() {
    // One run at a time: the button stays disabled while the run goes on.
    if (m_running || m_autoCalRunning || !onStartSpectralCal)
        return;
    std::array<bool, 8> modes{};
    for (size_t i = 0; i < modes.size(); ++i)
        modes[i] = m_binning[i] != 0;
    onStartSpectralCal(modes, m_calPrefix);
}

void CCalibrationDlg2::SetSpectralCalRunning(bool running) {
    m_running = running;
    // One run of either kind at a time; Stop ends the spectral run too.
    m_startSpectralCal->setEnabled(!running);
    m_start->setEnabled(!running);
    m_stop->setEnabled(running);
}
