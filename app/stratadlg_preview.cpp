// The main window's focus camera: the preview window and its on/off command.
#include "app/stratadlg.h"

#include "preview/CScrollingPreviewDlg.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QGuiApplication>
#include <QScreen>

namespace {
constexpr const char* kFocusOffline = "Focus Camera offline !";
constexpr const char* kPreviewStart = "Unable start previewing video.";
} // namespace

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnPreviewCommand(int id) {
    if (id != ID_TB_FOCUS_CAMERA)
        return false;
    OnFocusCamera();
    return true;
}

void CStrataDlg::CreatePreviewWindow() {
    m_previewDlg = new CScrollingPreviewDlg(m_prompts, this);
    SetControlId(m_previewDlg, IDD_PREVIEW);
}

void CStrataDlg::ConfigureFocusPreview() {
    // The configuration stops and restarts the preview through the window; the window gets its
    // camera afterwards (none when the focus camera is offline). The data camera is configured
    // with it, and its stream starts.
    m_instrument->ConfigureCameras(m_previewDlg);
    m_previewDlg->SetCameraInfo(m_camera.m_focusCameraOnline ? m_camera.m_hFocusCamera : nullptr);
}

void CStrataDlg::OnFocusCamera() {
    if (!m_camera.m_focusCameraOnline) {
        m_prompts.Message(kFocusOffline);
        return;
    }
    if (m_engine->Busy()) {
        // During an acquisition the command only stops the preview.
        if (!m_previewDlg->StopPreview(true))
            m_prompts.Message(EngineMsg::kPreviewStop);
        m_focusPreviewOn = false;
        return;
    }
    // A press while the mirror travels to the focus position is one press; none once the window
    // closes.
    if (m_focusTravelling || m_exiting)
        return;
    // The mirror goes to the focus position first, so the focus camera sees what the imager will
    // scan; the preview is switched when it stands there. The travel goes on on a thread of its own
    // (every wait on the mirror has its time limit) so that the window stays responsive; the
    // scanner settings stay refused meanwhile.
    JoinFocusTravel();
    m_focusTravelAbort = false;
    m_focusTravelling = true;
    m_engine->SetScannerPositioning(true);
    const uint64_t travel = ++m_focusTravelId;
    const int32_t target = m_scannerSettings.GetFocusPosition();
    m_focusTravel = std::thread([this, travel, target] {
        // The drive commands go out whenever the port is open, also when the controller did not
        // answer the handshake (the move itself is then skipped and nothing is waited for); a lost
        // link is opened again first.
        m_scannerLink->RestoreLink();
        if (m_scannerLink->PortOpen() && !m_focusTravelAbort.load()) {
            m_scannerLink->EnableScannerDrive(true);
            m_scannerLink->TravelTo(target, &m_focusTravelAbort);
            m_scannerLink->EnableScannerDrive(false);
        }
        m_engine->SetScannerPositioning(false);
        PostToWindow([this, travel] { OnFocusTravelEnded(travel); });
    });
}

void CStrataDlg::OnFocusTravelEnded(uint64_t travel) {
    // A travel that was cut short (an acquisition, a calibration run or the window's end came
    // first) leaves the preview as it is.
    if (travel != m_focusTravelId || !m_focusTravelling || m_exiting)
        return;
    JoinFocusTravel();
    m_focusTravelling = false;
    if (!m_focusPreviewOn) {
        if (!m_previewDlg->StartPreview(&m_camera.m_focusFormat, m_camera.m_focusFrameRate)) {
            m_prompts.Message(kPreviewStart);
            LucamDestroyDisplayWindow(m_camera.m_hFocusCamera);
            m_focusPreviewOn = false;
        } else {
            m_focusPreviewOn = true;
            m_previewDlg->SetTitleMode(1);
        }
        // Top-left corner of the screen, size unchanged.
        if (QScreen* screen = QGuiApplication::primaryScreen())
            m_previewDlg->move(screen->geometry().topLeft());
        else
            m_previewDlg->move(0, 0);
    } else {
        if (!m_previewDlg->StopPreview(true))
            m_prompts.Message(EngineMsg::kPreviewStop);
        m_focusPreviewOn = false;
    }
}

void CStrataDlg::EndFocusTravel() {
    if (!m_focusTravelling)
        return;
    m_focusTravelAbort = true;
    JoinFocusTravel();
    m_focusTravelling = false;
}

void CStrataDlg::JoinFocusTravel() {
    if (m_focusTravel.joinable())
        m_focusTravel.join();
}

bool CStrataDlg::StopFocusPreviewIfRunning() {
    // Every acquisition command stops a running preview; it counts as stopped either way.
    if (!m_focusPreviewOn || !m_previewDlg)
        return true;
    const bool ok = m_previewDlg->StopPreview(true);
    m_focusPreviewOn = false;
    return ok;
}
