#include "scanner/CSerialSettingDlg.h"

#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

namespace Ids = SerialSettingIds;

// Baud entries as they stand in the dialog template, trailing blanks included.
const char* const kBaudEntries[] = {"110 ",  "300",     "600",    "1200",   "2400",  "4800",   "9600",
                                    "14400", "19200  ", "38400 ", "56000 ", "57600", "115200 "};

constexpr int kSweepSteps = 100;
constexpr int kSweepFirstFactor = 2;
constexpr int kSweepStepCounts = 500;
constexpr double kOpenWaitMs = 200.0;
constexpr double kCommandWaitMs = 10.0;
constexpr double kCloseWaitMs = 500.0;

// Selects the entry equal to value, or else the first one that starts with it (so "115200" finds
// "115200 "); nothing when there is none.
void SelectEntry(QComboBox* combo, const std::string& value) {
    const QString v = QString::fromStdString(value);
    int index = combo->findText(v, Qt::MatchExactly);
    if (index < 0 && !v.isEmpty())
        index = combo->findText(v, Qt::MatchStartsWith);
    combo->setCurrentIndex(index);
}

} // namespace

CSerialSettingDlg::CSerialSettingDlg(UserPrompts& prompts, CSerialPort& port, QWidget* parent)
    : QDialog(parent), m_prompts(prompts), m_port(port) {
    setWindowTitle("Serial Settings");
    SetControlId(this, IDD_SERIAL_SETTINGS);

    m_receivedEdit = new QLineEdit(this);
    m_sentEdit = new QLineEdit(this);
    auto* statusGroup = new QGroupBox("Status Port", this);
    m_statusEdit = new QLineEdit(statusGroup);
    m_statusEdit->setReadOnly(true);
    auto* statusLayout = new QVBoxLayout(statusGroup);
    statusLayout->addWidget(m_statusEdit);

    auto* control = new QGroupBox("Serial Control", this);
    m_baudCombo = new QComboBox(control);
    for (const char* entry : kBaudEntries)
        m_baudCombo->addItem(entry);
    m_portCombo = new QComboBox(control);
    for (int n = 1; n <= 6; ++n)
        m_portCombo->addItem(QStringLiteral("COM%1").arg(n));
    m_openButton = new QPushButton("Open Port", control);
    m_closeButton = new QPushButton("Close Port", control);
    auto* sendButton = new QPushButton("Send Data", control);
    auto* controlGrid = new QGridLayout(control);
    controlGrid->addWidget(m_baudCombo, 0, 0);
    controlGrid->addWidget(m_portCombo, 0, 1);
    controlGrid->addWidget(m_openButton, 1, 0);
    controlGrid->addWidget(m_closeButton, 1, 1);
    controlGrid->addWidget(sendButton, 2, 0, 1, 2);

    m_startButton = new QPushButton("Start Scanning Mirror Thread", this);
    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);

    SetControlId(m_receivedEdit, Ids::kReceived);
    SetControlId(m_sentEdit, Ids::kSent);
    SetControlId(m_statusEdit, Ids::kPortStatus);
    SetControlId(m_baudCombo, Ids::kBaud);
    SetControlId(m_portCombo, Ids::kPort);
    SetControlId(m_openButton, Ids::kOpenPort);
    SetControlId(m_closeButton, Ids::kClosePort);
    SetControlId(sendButton, Ids::kSendData);
    SetControlId(m_startButton, Ids::kStartThread);
    SetControlId(ok, IDOK);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Monitor Receiving Messages:", this));
    layout->addWidget(m_receivedEdit);
    layout->addWidget(new QLabel("Monitor Sending Messages:", this));
    layout->addWidget(m_sentEdit);
    auto* row = new QHBoxLayout;
    row->addWidget(control);
    row->addWidget(statusGroup);
    layout->addLayout(row);
    layout->addWidget(m_startButton);
    layout->addWidget(ok);

    // Message table ("Send Data" has no action).
    connect(m_openButton, &QPushButton::clicked, this, &CSerialSettingDlg::OnOpenPort);
    connect(m_closeButton, &QPushButton::clicked, this, &CSerialSettingDlg::OnClosePort);
    connect(m_startButton, &QPushButton::clicked, this, &CSerialSettingDlg::OnStartThread);
    connect(ok, &QPushButton::clicked, this, &CSerialSettingDlg::OnOK);

    DoDataExchange(false);
}

CSerialSettingDlg::~CSerialSettingDlg() {
    StopWorker();
}

int CSerialSettingDlg::exec() {
    OnInitDialog();
    return QDialog::exec();
}

void CSerialSettingDlg::open() {
    OnInitDialog();
    QDialog::open();
}

void CSerialSettingDlg::OnInitDialog() {
    m_run = 0;
    m_openRequest = false;
    m_closeRequest = false;
    DoDataExchange(false);
}

std::string CSerialSettingDlg::BaudText() const {
    std::lock_guard lock(m_paramMutex);
    return m_baudText;
}

std::string CSerialSettingDlg::PortName() const {
    std::lock_guard lock(m_paramMutex);
    return m_portName;
}

void CSerialSettingDlg::DoDataExchange(bool save) {
    if (save) {
        m_receivedText = m_receivedEdit->text().toStdString();
        m_sentText = m_sentEdit->text().toStdString();
        m_portStatus = m_statusEdit->text().toStdString();
        std::lock_guard lock(m_paramMutex);
        if (m_baudCombo->currentIndex() >= 0)
            m_baudText = m_baudCombo->currentText().toStdString();
        if (m_portCombo->currentIndex() >= 0)
            m_portName = m_portCombo->currentText().toStdString();
        return;
    }
    m_receivedEdit->setText(QString::fromStdString(m_receivedText));
    m_sentEdit->setText(QString::fromStdString(m_sentText));
    m_statusEdit->setText(QString::fromStdString(m_portStatus));
    std::lock_guard lock(m_paramMutex);
    SelectEntry(m_baudCombo, m_baudText);
    SelectEntry(m_portCombo, m_portName);
}

DCB CSerialSettingDlg::FillParameters() {
    std::lock_guard lock(m_paramMutex);
    // A baud text that is not a listed rate leaves the rate 0, which Open refuses.
    FillCommState(m_commState, m_baudText);
    return m_commState;
}

void CSerialSettingDlg::OnOpenPort() {
    DoDataExchange(true);
    FillParameters();
    m_openRequest = true;
    m_closeRequest = false;
    m_closeButton->setEnabled(true);
    m_openButton->setEnabled(false);
}

void CSerialSettingDlg::OnClosePort() {
    ArvSleepMs(kCloseWaitMs);
    m_startButton->setEnabled(true);
    m_closeRequest = true;
    m_openRequest = false;
    m_closeButton->setEnabled(false);
    m_openButton->setEnabled(true);
    m_run = 0;
    DoDataExchange(false);
}

void CSerialSettingDlg::OnStartThread() {
    if (m_workerRunning.load())
        return;
    // A worker that has ended is joined before the next one starts.
    if (m_worker.joinable())
        m_worker.join();
    m_run = 1;
    m_stop = false;
    m_startButton->setEnabled(false);
    m_workerRunning = true;
    m_worker = std::thread([this] { Worker(); });
}

void CSerialSettingDlg::OnOK() {
    m_run = 0;
    accept();
}

void CSerialSettingDlg::done(int result) {
    StopWorker();
    QDialog::done(result);
}

void CSerialSettingDlg::StopWorker() {
    m_run = 0;
    m_stop = true;
    if (m_worker.joinable())
        m_worker.join();
    m_workerRunning = false;
}

void CSerialSettingDlg::PostStatus(const char* text) {
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            m_portStatus = text;
            m_statusEdit->setText(text);
        },
        Qt::QueuedConnection);
}

void CSerialSettingDlg::Worker() {
    const DCB dcb = FillParameters();
    m_openRequest = true;
    m_closeRequest = false;
    ArvSleepMs(kOpenWaitMs);

    // The port object is shared with the scanner link: only an opening made here counts as the
    // dialog's, and only that one is used for the sweep and closed again.
    if (!m_ownsPort.load() && m_openRequest.load() && !m_stop.load()) {
        if (m_port.Open(dcb, PortName())) {
            m_ownsPort = true;
            PostStatus(kPortConnectedText);
        } else {
            QMetaObject::invokeMethod(
                this, [this] { m_prompts.Message(kStoppingThread); }, Qt::QueuedConnection);
            m_run = 0;
        }
    }

    if (m_run.load() == 1 && m_ownsPort.load()) {
        for (int i = 0; i < kSweepSteps && !m_stop.load(); ++i) {
            const std::string target =
                "LA-" + std::to_string((i + kSweepFirstFactor) * kSweepStepCounts) + "\n\r";
            int written = 0;
            {
                auto exchange = m_port.LockExchange();
                m_port.Write(target.data(), int(target.size()), &written);
            }
            ArvSleepMs(kCommandWaitMs);
            {
                auto exchange = m_port.LockExchange();
                m_port.Write("M\n\r", 3, &written);
            }
            ArvSleepMs(kCommandWaitMs);
        }
        m_closeRequest = true;
    }

    // A closing dialog always gives back the port it opened.
    if ((m_closeRequest.load() || m_stop.load()) && m_ownsPort.load()) {
        if (m_port.Close()) {
            PostStatus(kPortClosedText);
            m_closeRequest = false;
        }
        m_ownsPort = false;
    }

    QMetaObject::invokeMethod(
        this,
        [this] {
            m_startButton->setEnabled(true);
            m_workerRunning = false;
        },
        Qt::QueuedConnection);
}
