#include "storage/CCubeFormattingDlg.h"

#include "core/UserPrompts.h"
#include "resources/ControlIds.h"

#include <QCheckBox>
#include <QDoubleValidator>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <atomic>
#include <climits>

namespace {
// The column count last given to SetColumns; every opening shows it.
std::atomic<int> g_columns{696};

constexpr int kOk = 1;
constexpr int kCancel = 2;
} // namespace

int CCubeFormattingDlg::ProcessColumns() {
    return g_columns.load();
}

CCubeFormattingDlg::CCubeFormattingDlg(QWidget* parent) : QDialog(parent) {
    using namespace CubeFormattingIds;
    setWindowTitle("Cube Formatting");
    SetControlId(this, kDialog);

    auto radio = [](const char* text, int id, QWidget* owner) {
        auto* r = new QRadioButton(text, owner);
        // Independent buttons: the click handlers keep exactly one of them set.
        r->setAutoExclusive(false);
        SetControlId(r, id);
        return r;
    };
    auto check = [](const char* text, int id, QWidget* owner) {
        auto* c = new QCheckBox(text, owner);
        SetControlId(c, id);
        return c;
    };
    auto edit = [](int id, QWidget* owner) {
        auto* e = new QLineEdit(owner);
        SetControlId(e, id);
        return e;
    };

    auto* arv = new QGroupBox("ARV 200", this);
    auto* arvLayout = new QVBoxLayout(arv);
    m_standard = radio("ARV Standard (BIL with Header)", kStandard, arv);
    arvLayout->addWidget(m_standard);

    auto* envi = new QGroupBox("ENVI", this);
    auto* enviLayout = new QVBoxLayout(envi);
    m_bil = radio("BIL", kBil, envi);
    m_bsq = radio("BSQ", kBsq, envi);
    m_bip = radio("BIP", kBip, envi);
    m_header = check("Create Header", kCreateHeader, envi);
    m_radiance = radio("ENVI BIL radiance", kRadiance, envi);
    m_reflectance = radio("ENVI BIL reflectance", kReflectance, envi);
    m_radiance->setToolTip("Dark subtracted, radiometric gains applied when loaded, 32-bit float");
    m_reflectance->setToolTip("Radiance divided by the white reference (Shift-drag over the white panel "
                              "in the picture) and multiplied by the panel's reflectance");
    m_panelReflectance = edit(kPanelReflectance, envi);
    auto* panelValidator = new QDoubleValidator(0.0, 1.5, 4, m_panelReflectance);
    panelValidator->setLocale(QLocale::c()); // a decimal point whatever the user's locale
    m_panelReflectance->setValidator(panelValidator);
    auto* panelRow = new QHBoxLayout;
    panelRow->addWidget(new QLabel("White panel reflectance", envi));
    panelRow->addWidget(m_panelReflectance);
    for (QWidget* w :
         {static_cast<QWidget*>(m_bil), static_cast<QWidget*>(m_bsq), static_cast<QWidget*>(m_bip),
          static_cast<QWidget*>(m_radiance), static_cast<QWidget*>(m_reflectance)})
        enviLayout->addWidget(w);
    enviLayout->addLayout(panelRow);
    enviLayout->addWidget(m_header);
    m_bsq->hide();
    m_bip->hide();

    auto* windows = new QGroupBox("WINDOWS", this);
    auto* winLayout = new QGridLayout(windows);
    m_movie = radio("Movie", kMovie, windows);
    m_bitmap = radio("Bitmap", kBitmap, windows);
    m_interval = edit(kFrameInterval, windows);
    m_interval->setValidator(new QIntValidator(1, INT_MAX, m_interval));
    auto* ms = new QLabel("ms", windows);
    ms->setObjectName("ms_label");
    ms->hide();
    m_normalize = check("Normalize movie per frame", kNormalizePerFrame, windows);
    winLayout->addWidget(m_movie, 0, 0);
    winLayout->addWidget(m_bitmap, 0, 1);
    winLayout->addWidget(new QLabel("Time between each frame", windows), 1, 0);
    winLayout->addWidget(m_interval, 1, 1);
    winLayout->addWidget(ms, 1, 2);
    winLayout->addWidget(m_normalize, 2, 0, 1, 3);

    auto* dimension = new QGroupBox("Cube Dimension", this);
    auto* dimLayout = new QGridLayout(dimension);
    m_columnsEdit = edit(kColumns, dimension);
    m_rowsEdit = edit(kRows, dimension);
    m_columnsEdit->setReadOnly(true);
    m_rowsEdit->setReadOnly(true);
    dimLayout->addWidget(new QLabel("Columns:", dimension), 0, 0);
    dimLayout->addWidget(m_columnsEdit, 0, 1);
    dimLayout->addWidget(new QLabel("Rows", dimension), 1, 0);
    dimLayout->addWidget(m_rowsEdit, 1, 1);

    m_autoSave = check("Auto Save", kAutoSave, this); // nothing reads it
    m_autoSave->hide();

    auto* ok = new QPushButton("OK", this);
    auto* cancel = new QPushButton("Cancel", this);
    SetControlId(ok, kOk);
    SetControlId(cancel, kCancel);
    ok->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(arv);
    top->addWidget(envi);
    layout->addLayout(top);
    layout->addWidget(windows);
    layout->addWidget(dimension);
    layout->addWidget(m_autoSave);
    layout->addLayout(buttons);

    // Message table.
    for (auto [button, id] :
         {std::pair{m_standard, kStandard}, std::pair{m_bil, kBil}, std::pair{m_bsq, kBsq},
          std::pair{m_bip, kBip}, std::pair{m_movie, kMovie}, std::pair{m_bitmap, kBitmap},
          std::pair{m_radiance, kRadiance}, std::pair{m_reflectance, kReflectance}})
        connect(button, &QRadioButton::clicked, this, [this, id = id] { OnFormatClicked(id); });
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    DoDataExchange(false);
}

void CCubeFormattingDlg::SetColumns(int columns) {
    m_columns = columns;
    g_columns = columns;
    m_columnsEdit->setText(QString::number(m_columns));
}

void CCubeFormattingDlg::SetRows(int rows) {
    m_rows = rows;
    m_rowsEdit->setText(QString::number(m_rows));
}

int32_t* CCubeFormattingDlg::FormatMember(int id) {
    using namespace CubeFormattingIds;
    switch (id) {
    case kStandard:
        return &m_formatStandard;
    case kBil:
        return &m_formatBil;
    case kBsq:
        return &m_formatBsq;
    case kBip:
        return &m_formatBip;
    case kMovie:
        return &m_formatMovie;
    case kBitmap:
        return &m_formatBitmap;
    case kRadiance:
        return &m_formatRadiance;
    case kReflectance:
        return &m_formatReflectance;
    default:
        return nullptr;
    }
}

bool CCubeFormattingDlg::TakeInterval(bool report) {
    bool isInt = false;
    const int interval = m_interval->text().trimmed().toInt(&isInt);
    if (isInt && interval >= 1) {
        m_frameInterval = interval;
        return true;
    }
    if (report) {
        if (m_prompts)
            m_prompts->Message(isInt ? kMsgIntegerRange : kMsgEnterInteger);
        m_interval->setFocus();
        m_interval->selectAll();
    }
    return false;
}

bool CCubeFormattingDlg::TakePanelReflectance(bool report) {
    bool isNumber = false;
    const double r = QLocale::c().toDouble(m_panelReflectance->text().trimmed(), &isNumber);
    if (isNumber && r > 0.0 && r <= 1.5) {
        m_whiteReflectance = r;
        return true;
    }
    if (report) {
        if (m_prompts)
            m_prompts->Message(kMsgPanelReflectance);
        m_panelReflectance->setFocus();
        m_panelReflectance->selectAll();
    }
    return false;
}

void CCubeFormattingDlg::TakeChoices() {
    m_formatStandard = m_standard->isChecked() ? 1 : 0;
    m_formatBil = m_bil->isChecked() ? 1 : 0;
    m_formatBsq = m_bsq->isChecked() ? 1 : 0;
    m_formatBip = m_bip->isChecked() ? 1 : 0;
    m_formatMovie = m_movie->isChecked() ? 1 : 0;
    m_formatBitmap = m_bitmap->isChecked() ? 1 : 0;
    m_formatRadiance = m_radiance->isChecked() ? 1 : 0;
    m_formatReflectance = m_reflectance->isChecked() ? 1 : 0;
    m_createHeader = m_header->isChecked() ? 1 : 0;
    m_normalizePerFrame = m_normalize->isChecked() ? 1 : 0;
}

bool CCubeFormattingDlg::DoDataExchange(bool save) {
    if (save) {
        // The interval is checked first so that a refused value changes nothing.
        if (!TakeInterval(true) || !TakePanelReflectance(true))
            return false;
        TakeChoices();
        return true;
    }
    m_standard->setChecked(m_formatStandard != 0);
    m_bil->setChecked(m_formatBil != 0);
    m_bsq->setChecked(m_formatBsq != 0);
    m_bip->setChecked(m_formatBip != 0);
    m_movie->setChecked(m_formatMovie != 0);
    m_bitmap->setChecked(m_formatBitmap != 0);
    m_radiance->setChecked(m_formatRadiance != 0);
    m_reflectance->setChecked(m_formatReflectance != 0);
    m_panelReflectance->setText(QLocale::c().toString(m_whiteReflectance, 'g', 6));
    m_interval->setText(QString::number(m_frameInterval));
    m_header->setChecked(m_createHeader != 0);
    m_rowsEdit->setText(QString::number(m_rows));
    m_columnsEdit->setText(QString::number(m_columns));
    m_normalize->setChecked(m_normalizePerFrame != 0);
    return true;
}

int CCubeFormattingDlg::exec() {
    m_columns = g_columns.load();
    DoDataExchange(false);
    return QDialog::exec();
}

void CCubeFormattingDlg::OnFormatClicked(int id) {
    // Take the controls, select the clicked format alone and show the members again. An interval
    // that is not a valid number is not taken here (OK reports it); the field shows the last
    // valid one again.
    TakeInterval(false);
    TakePanelReflectance(false);
    TakeChoices();
    for (int32_t* m : {&m_formatStandard, &m_formatBil, &m_formatBsq, &m_formatBip, &m_formatMovie,
                       &m_formatBitmap, &m_formatRadiance, &m_formatReflectance})
        *m = 0;
    *FormatMember(id) = 1;
    DoDataExchange(false);
}

void CCubeFormattingDlg::OnOK() {
    if (!DoDataExchange(true))
        return;
    // The first set button in this order decides the saver.
    if (m_standard->isChecked()) {
        if (m_savers.saveStandardCube)
            m_savers.saveStandardCube();
    } else if (m_bil->isChecked()) {
        if (m_savers.saveBilCube)
            m_savers.saveBilCube(m_createHeader);
    } else if (m_bsq->isChecked()) {
        if (m_savers.saveBsqCube)
            m_savers.saveBsqCube(m_createHeader);
    } else if (m_movie->isChecked()) {
        if (m_savers.saveMovie)
            m_savers.saveMovie();
    } else if (m_bitmap->isChecked()) {
        if (m_savers.saveBitmap)
            m_savers.saveBitmap();
    } else if (m_bip->isChecked()) {
        if (m_savers.saveBipCube)
            m_savers.saveBipCube(m_createHeader);
    } else if (m_radiance->isChecked()) {
        if (m_savers.saveRadianceCube)
            m_savers.saveRadianceCube(m_createHeader);
    } else if (m_reflectance->isChecked()) {
        if (m_savers.saveReflectanceCube)
            m_savers.saveReflectanceCube(m_createHeader);
    }
    accept();
}
