#include "instrument/Instrument.h"

#include "calibration/Monochromator.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimMonochromator.h"

#include <cstdio>

std::string DeviceSelection::SimulatedText() const {
    std::string list;
    auto add = [&list](const std::string& name) { list += (list.empty() ? "" : ", ") + name; };
    if (dataCameraSimulated && focusCameraSimulated)
        add("cameras");
    else if (dataCameraSimulated)
        add("data camera");
    else if (focusCameraSimulated)
        add("focus camera");
    if (controllerSimulated)
        add(controllerPort);
    if (monochromatorSimulated && monochromatorPort != controllerPort)
        add(monochromatorPort);
    return list.empty() ? std::string() : InstrumentMsg::kSimulated + list;
}

std::string Instrument::SimulatedDevicesList() const {
    const std::string text = SimulatedDevicesText();
    const std::string caption = InstrumentMsg::kSimulated;
    if (text.empty())
        return "none";
    return text.compare(0, caption.size(), caption) == 0 ? text.substr(caption.size()) : text;
}

DeviceSelection SelectDevices(const InstrumentOptions& options, const PortsMap& map,
                              const std::string& controllerPort) {
    DeviceSelection d;
    const std::string controller = NormalisedComName(controllerPort);
    d.controllerPort = controller.empty() ? controllerPort : controller;
    const std::string mono = NormalisedComName(options.monochromatorPort);
    d.monochromatorPort = mono.empty() ? options.monochromatorPort : mono;
    // The cameras configured for this run: the command line first, then the ports map.
    const std::optional<CameraChoice> data = options.dataCamera ? options.dataCamera : map.dataCamera;
    const std::optional<CameraChoice> focus = options.focusCamera ? options.focusCamera : map.focusCamera;
    const CameraChoice sim{CameraChoice::Kind::Simulated, ""};
    const CameraChoice none{CameraChoice::Kind::None, ""};
    switch (options.mode) {
    case DeviceMode::Simulate:
        d.cameras = CameraSetup{sim, std::nullopt};
        d.controllerSimulated = d.monochromatorSimulated = true;
        d.realPortsAllowed = false;
        break;
    case DeviceMode::Real: {
        // No simulated camera: the instrument's own cameras through the vendor's library unless
        // another real backend is configured.
        auto real = [&none](const CameraChoice& c) {
            return c.kind == CameraChoice::Kind::Simulated ? none : c;
        };
        d.cameras.data = real(data.value_or(CameraChoice{CameraChoice::Kind::VendorLibrary, ""}));
        if (focus)
            d.cameras.focus = real(*focus);
        d.controllerSimulated = d.monochromatorSimulated = false;
        break;
    }
    case DeviceMode::Auto:
        d.cameras = CameraSetup{data.value_or(sim), focus};
        d.controllerSimulated = !map.Lists(d.controllerPort);
        d.monochromatorSimulated = !map.Lists(d.monochromatorPort);
        break;
    }
    d.dataCameraSimulated = d.cameras.data.kind == CameraChoice::Kind::Simulated;
    d.focusCameraSimulated = d.cameras.Focus().kind == CameraChoice::Kind::Simulated;
    d.camerasSimulated = d.dataCameraSimulated && d.focusCameraSimulated;
    return d;
}

// ---------------------------------------------------------------------------------------------

Instrument::Instrument(UserPrompts& prompts, InstrumentOptions options)
    : m_prompts(prompts), m_options(std::move(options)), m_cameras(prompts), m_scannerLink(m_scannerSettings),
      m_mirror(m_scannerLink) {}

Instrument::~Instrument() {
    Shutdown();
    // The ports map belonged to this run.
    if (m_devicesChosen)
        CSerialPort::InstallPortsMap(PortsMap{}, true);
    // The simulated devices go last: a window may still stop its preview on the focus camera
    // between Shutdown and here.
    if (m_simCamerasAttached)
        SimCameras::Instance().Shutdown();
    // The backends of this run go; the camera interface reaches the simulated cameras again.
    if (m_camerasInstalled)
        CameraSeam::Reset();
    if (m_simController)
        m_simController->Shutdown();
    if (m_simMonochromator)
        m_simMonochromator->Shutdown();
    if (!m_absentControllerPort.empty())
        CSerialPort::ClearPortOverride(m_absentControllerPort, "");
}

AcquisitionEngine& Instrument::CreateEngine(EngineHost& host) {
    m_engine = std::make_unique<AcquisitionEngine>(host, m_mirror);
    AcquisitionEngine& engine = *m_engine;
    m_scannerLink.SetStopFlag(engine.StopFlag());
    // One conversion hook from the data camera's raw frames to 16-bit grey.
    engine.convertFrame = [this](uint16_t* dest, const uint16_t* src, int w, int h) {
        LUCAM_CONVERSION params{LUCAM_DM_NONE, LUCAM_CM_NONE};
        return LucamConvertFrameToGreyscale16(m_cameras.m_hDataCamera, dest, src, ULONG(w), ULONG(h),
                                              LUCAM_PF_16, &params) != 0;
    };
    // Positions are read at each use: the scanner settings dialog may change them.
    engine.scanPositions = [this] {
        return ScanPositions{m_scannerSettings.GetScanStartPosition(), m_scannerSettings.GetCenterPosition(),
                             m_scannerSettings.GetCorridor()};
    };
    engine.SetStepPerLine(m_scannerSettings.m_stepSize);
    // The record of every cube line: the run's settings as the devices were set at the scan's start,
    // and per line whether the controller's link was up (read on the camera thread).
    engine.describeRun = [this] {
        RunDescription d;
        d.integrationMs = m_cameraSettings.exposure;
        d.gain = m_cameraSettings.gain;
        d.frameRate = m_cameras.m_dataFrameRate;
        d.camera = m_cameras.DataCameraIdentification();
        d.simulated = SimulatedDevicesList();
        d.program = ProgramDescription();
        return d;
    };
    engine.linkUp = [this] { return ControllerLinkUp(); };
    // Frames the camera's backend refused count in the frame watchdog's message.
    engine.cameraRejectedFrames = [this] { return CameraSeam::Counters(m_cameras.m_hDataCamera).rejected; };
    return engine;
}

void Instrument::SetStatusCallback(ScannerLink::StatusCallback callback) {
    m_status = callback;
    m_scannerLink.SetStatusCallback(std::move(callback));
}

CubeGeometry Instrument::Geometry() const {
    return CubeGeometry{m_cameraSettings.frameWidth, m_cameraSettings.frameHeight, m_cameraSettings.Bands(),
                        25};
}

void Instrument::ReadSettings() {
    // Values that were refused are named in one message per file; the earlier values hold.
    const CameraSettingsReadResult camera =
        ReadCameraSettingsFile(kCameraSettingsPath, m_cameraSettings, m_rgbBands, 128);
    if (!camera.opened)
        m_prompts.Message(kMsgCameraSettingsOpen);
    else if (const std::string problems = CameraSettingsProblemText(camera); !problems.empty())
        m_prompts.Message(problems);
    std::string message, problems;
    if (!LoadScannerSettings(kScannerSettingsFile, m_scannerSettings, &message, &problems))
        m_prompts.Message(message);
    else if (!problems.empty())
        m_prompts.Message(problems);
    // Every run starts at W = 696, H = 520, B = 128 whatever the file says.
    m_cameraSettings.SetBands(128);
    m_cameraSettings.frameHeight = 520;
    m_cameraSettings.frameWidth = 696;
    m_cameraSettings.binningCode = 0;
    if (m_engine)
        m_engine->SetStepPerLine(m_scannerSettings.m_stepSize);
}

bool Instrument::ReadDefaultCalibration(int binning) {
    const std::string path = DefaultCalibrationPath(binning);
    int error = 0;
    std::string problems;
    if (ReadDefaultCalibrationFile(path, m_defCal, &error, &problems, m_cameraSettings.Bands())) {
        if (!problems.empty())
            m_prompts.Message(problems);
        return true;
    }
    char text[512];
    std::snprintf(text, sizeof text, "Unable to open %s file, error code: %d", path.c_str(), error);
    m_prompts.Message(text);
    return false;
}

void Instrument::ChooseDevices() {
    if (m_devicesChosen)
        return;
    m_devicesChosen = true;
    // The ports map is read here, once; every later opening of a port uses what was installed.
    m_ports = m_options.mode == DeviceMode::Simulate ? PortsMap{} : ReadPortsMap(m_options.portsFile);
    m_devices = SelectDevices(m_options, m_ports, m_scannerSettings.m_comPort);
    CSerialPort::InstallPortsMap(m_ports, m_devices.realPortsAllowed);
    if (!m_ports.problems.empty()) {
        std::string text;
        for (const std::string& p : m_ports.problems)
            text += (text.empty() ? "" : "\n") + p;
        m_prompts.Message(text, InstrumentMsg::kPortsMapCaption);
    }
    auto note = [this](const std::vector<std::string>& switches, const std::string& device) {
        for (const std::string& s : switches)
            m_notes.push_back(s + " has no effect: " + device + " is real");
    };
    if (!m_devices.dataCameraSimulated && !m_devices.focusCameraSimulated)
        note(m_options.sim.cameraSwitches, "the cameras are");
    else if (!m_devices.dataCameraSimulated)
        note(m_options.sim.cameraSwitches, "the data camera is");
    // The camera backends of the run; what cannot be loaded is reported when the cameras are opened.
    CameraSeam::Install(m_devices.cameras,
                        [this](const std::string& text) { m_prompts.Message(text, kCameraLibraryCaption); });
    m_camerasInstalled = true;
    if (!m_devices.controllerSimulated)
        note(m_options.sim.controllerSwitches, "the controller on " + m_devices.controllerPort);
    // The simulated data camera counts the frames it could not deliver; a real camera's lost frames
    // are estimated by the engine from the gaps between frames.
    if (m_engine && m_devices.dataCameraSimulated)
        m_engine->droppedFrameCount = [] { return int64_t(SimCameras::DroppedFramesSoFar(1)); };
    else if (m_engine)
        m_engine->droppedFrameCount = nullptr;
    if (m_options.attachSimulators)
        AttachSimulators();
}

void Instrument::AttachSimulators() {
    const SimulatorOptions& sim = m_options.sim;
    if (m_devices.dataCameraSimulated || m_devices.focusCameraSimulated) {
        SimCameras::Instance().Configure(sim.cameras);
        SimOptics::Instance().target = sim.target;
        SimOptics::Instance().noise = sim.noise;
        SimOptics::Instance().vignetting = sim.vignetting;
        m_simCamerasAttached = true;
    }
    if (m_devices.controllerSimulated && sim.controllerFault == "absent") {
        // The simulated controller is missing: its port leads nowhere (not to a real device).
        CSerialPort::SetPortOverride(m_devices.controllerPort, "");
        m_absentControllerPort = m_devices.controllerPort;
    }
    if (m_devices.controllerSimulated && sim.controllerFault != "absent") {
        SimMirror::Instance().SetSpeed(sim.mirrorSpeed);
        m_simController = std::make_unique<SimController>(m_devices.controllerPort);
        m_simController->SetSilent(sim.controllerFault == "silent");
        m_simController->SetGarbage(sim.controllerFault == "garbage");
        m_simController->SetNeverArrives(sim.controllerFault == "stuck");
        if (!m_simController->Start())
            m_simController.reset();
    }
    if (m_devices.monochromatorSimulated) {
        m_simMonochromator = std::make_unique<SimMonochromator>(m_devices.monochromatorPort);
        if (!m_simMonochromator->Start())
            m_simMonochromator.reset();
    }
}

bool Instrument::OpenCameras() {
    // The camera interface reaches the backends chosen for the run (the simulated cameras when the
    // devices were not chosen).
    const bool dataOnline = m_cameras.OpenCameras();
    if (m_engine)
        m_engine->SetDataCameraOnline(m_cameras.m_dataCameraOnline);
    if (!dataOnline) {
        m_prompts.Message(InstrumentMsg::kNoCamera, InstrumentMsg::kNoCameraCaption);
        return false;
    }
    if (m_engine) {
        m_engine->ResetLineIndex();
        m_dataCallbackId = LucamAddStreamingCallback(m_cameras.m_hDataCamera,
                                                     &AcquisitionEngine::OnDataFrameCallback, m_engine.get());
    }
    return true;
}

void Instrument::ConfigureCameras(FocusPreview* preview) {
    if (m_cameras.m_focusCameraOnline)
        m_cameras.ConfigureFocusCamera(preview);
    if (m_cameras.m_dataCameraOnline) {
        m_cameras.ConfigureDataCamera(m_cameraSettings);
        if (m_engine)
            m_engine->SetFrameRate(m_cameras.m_dataFrameRate);
    }
}

bool Instrument::ConnectScanner() {
    if (m_engine)
        m_engine->SetStepPerLine(m_scannerSettings.m_stepSize);
    if (m_scannerLink.ConnectScanner())
        return true;
    m_prompts.Message(InstrumentMsg::kComPort, InstrumentMsg::kComPortCaption);
    return false;
}

void Instrument::EnableDrive(bool moveToFocusPosition) {
    const bool connected = m_scannerLink.m_scannerConnected.load();
    m_scannerLink.EnableScannerDrive(connected);
    if (connected && moveToFocusPosition) {
        if (m_engine)
            m_engine->SetScannerPositioning(true);
        m_scannerLink.TravelTo(m_scannerSettings.GetFocusPosition());
        if (m_engine)
            m_engine->SetScannerPositioning(false);
    }
}

bool Instrument::MoveMonochromator(int comPort, int wavelength) {
    if (::MoveMonochromator(comPort, wavelength))
        return true;
    // The grating did not move: the frames that follow would be filed under a wrong wavelength.
    if (m_status)
        m_status("COM" + std::to_string(comPort) + " Offline");
    m_prompts.Message(InstrumentMsg::kComPort, InstrumentMsg::kMonochromatorCaption);
    return false;
}

void Instrument::Shutdown() {
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_engine)
        m_engine->RequestStop(); // ends the display thread
    m_scannerLink.EnableScannerDrive(false);
    if (m_cameras.m_streaming.load() && !m_cameras.StopDataStream())
        m_prompts.Message(InstrumentMsg::kStopStream);
    // No camera thread runs OnDataFrame any more: the display thread can be joined safely.
    if (m_engine)
        m_engine->ShutdownDisplayThread();
    // The port is released so that another program (or the next run) can open it.
    m_scannerLink.DisconnectScanner();
    if (m_cameras.m_hDataCamera && m_dataCallbackId >= 0)
        LucamRemoveStreamingCallback(m_cameras.m_hDataCamera, m_dataCallbackId);
    m_dataCallbackId = -1;
}
