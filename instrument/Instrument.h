#pragma once
// The instrument of one run of the program: the data camera and the focus camera, the motion
// controller's link, the monochromator's port, the settings that configure them, and the simulated
// devices standing in for those that are not real. The window and "arv300 acquire" both bring it
// up and down through the operations below, in the start-up order of the program:
//
//   ReadSettings          camera settings and scanner settings files (geometry fixed at 696 x 520 x 128)
//   ChooseDevices         the ports map, read once; which devices are real; the simulated ones attached
//   ReadDefaultCalibration
//   OpenCameras           without a data camera: the closing message, false
//   ConfigureCameras      focus camera (and its preview), data camera (the data stream starts)
//   ConnectScanner        without a controller: "Please Check COM Port Settings"
//   EnableDrive           "EN" when connected ("DI" otherwise), optionally the move to the focus position
//   Shutdown              stop, drive off, stream off, threads joined, port closed, simulators stopped
//
// Which devices are real is decided in one place (SelectDevices):
//  - Simulate: every device is simulated whatever the ports map says;
//  - Real: no device is simulated; a missing device gives the program's own messages; the cameras
//    come from the vendor's camera library unless another real backend is configured;
//  - Auto: a serial device is real when its COM port has a line in the ports map, a camera is real
//    when a backend other than the simulator is configured for it (--camera, --focus-camera, or the
//    ports map's DataCamera and FocusCamera lines); every other device is simulated.
// The simulator's switches (SimulatorOptions) act only on simulated devices.
//
// Qt-free. Operations run on the calling front end's window (or main) thread; the engine's camera
// thread reaches the devices only through the engine.
#include "calibration/DefaultCalibration.h"
#include "camera/AcquisitionEngine.h"
#include "camera/CameraSeam.h"
#include "camera/CameraSettings.h"
#include "camera/DataCameraControl.h"
#include "camera/ScannerMirrorLink.h"
#include "core/UserPrompts.h"
#include "scanner/ScannerLink.h"
#include "scanner/ScannerSettings.h"
#include "serial/PortsMap.h"
#include "serial/SerialPort.h"
#include "sim/SimCamera.h"
#include "sim/SimScene.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class SimController;
class SimMonochromator;

namespace InstrumentMsg {
inline constexpr const char* kNoCamera = "Please Check Camera Connection and Power - Application Closing";
inline constexpr const char* kNoCameraCaption = "Camera Not Connected";
inline constexpr const char* kComPort = "Please Check COM Port Settings";
inline constexpr const char* kComPortCaption = "Scanner Communication Problem";
inline constexpr const char* kMonochromatorCaption = "Monochromator Communication Problem";
inline constexpr const char* kStopStream = "Could not stop camera sreaming";
inline constexpr const char* kPortsMapCaption = "Ports Map";
inline constexpr const char* kSimulated = "Simulated: ";
} // namespace InstrumentMsg

enum class DeviceMode { Auto, Simulate, Real };

// Settings and fault switches of the simulated devices (the --sim-* options).
struct SimulatorOptions {
    SimCameraSettings cameras;
    SimTarget target = SimTarget::Scene;
    bool noise = false;
    double vignetting = 0.0;       // response fall-off across the field (SimResponse)
    double mirrorSpeed = 165000.0; // counts per second
    std::string controllerFault;   // "", "silent", "garbage", "stuck", "absent"
    // Options given for the cameras and for the controller, for the note when they meet a real device.
    std::vector<std::string> cameraSwitches;
    std::vector<std::string> controllerSwitches;
};

struct InstrumentOptions {
    DeviceMode mode = DeviceMode::Auto;
    // The cameras' backends given on the command line (--camera, --focus-camera); they take the
    // place of the ports map's DataCamera and FocusCamera lines.
    std::optional<CameraChoice> dataCamera;
    std::optional<CameraChoice> focusCamera;
    std::string portsFile = kPortsFile;
    // The port the simulated monochromator stands on (the calibration dialog's default port).
    std::string monochromatorPort = "COM4";
    SimulatorOptions sim;
    // True: the instrument attaches the simulated devices it chose (cameras configured from sim,
    // controller and monochromator on their pseudo-terminals) and stops them at shutdown. False:
    // whoever builds the instrument has attached the simulated hardware already (tests that script
    // its faults).
    bool attachSimulators = false;
};

// Which devices of a run are real and which are simulated.
struct DeviceSelection {
    // The backends of the data camera and the focus camera.
    CameraSetup cameras;
    bool dataCameraSimulated = true;
    bool focusCameraSimulated = true;
    bool camerasSimulated = true; // both
    std::string controllerPort = "COM1";
    bool controllerSimulated = true;
    std::string monochromatorPort = "COM4";
    bool monochromatorSimulated = true;
    bool realPortsAllowed = true;

    bool AnySimulated() const {
        return dataCameraSimulated || focusCameraSimulated || controllerSimulated || monochromatorSimulated;
    }
    // "Simulated: cameras, COM1, COM4" ("data camera" or "focus camera" when only one of them is);
    // empty when every device is real.
    std::string SimulatedText() const;
};

// The rule above. controllerPort is the scanner settings' port.
DeviceSelection SelectDevices(const InstrumentOptions& options, const PortsMap& map,
                              const std::string& controllerPort);

class Instrument {
public:
    Instrument(UserPrompts& prompts, InstrumentOptions options);
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // Creates the acquisition engine that receives the data camera's frames and drives the mirror,
    // with its one frame-conversion hook; host must outlive the instrument. Call once, first.
    AcquisitionEngine& CreateEngine(EngineHost& host);
    AcquisitionEngine& Engine() { return *m_engine; }
    // Status pane 3 texts of the controller's and the monochromator's ports (any thread).
    void SetStatusCallback(ScannerLink::StatusCallback callback);

    // Start-up, in this order (see above).
    void ReadSettings();
    bool ReadDefaultCalibration(int binning);
    void ChooseDevices();
    bool OpenCameras();
    void ConfigureCameras(FocusPreview* preview);
    bool ConnectScanner();
    void EnableDrive(bool moveToFocusPosition);
    // Stops everything in the closing order: stop flag, drive off, data stream off, display thread
    // joined, port closed, streaming callback removed. Safe to call more than once; the destructor
    // calls it, then stops the simulated devices the instrument attached.
    void Shutdown();

    // Sets the monochromator on COM port number comPort to wavelength. False, with "COMn Offline"
    // in status pane 3, when its port cannot be opened.
    bool MoveMonochromator(int comPort, int wavelength);

    // Devices and settings.
    DataCameraControl& Cameras() { return m_cameras; }
    ScannerLink& Scanner() { return m_scannerLink; }
    MirrorLink& Mirror() { return m_mirror; }
    CameraSettingsValues& CameraSettings() { return m_cameraSettings; }
    std::array<int32_t, 3>& RgbBands() { return m_rgbBands; }
    ScannerSettingsValues& ScannerSettings() { return m_scannerSettings; }
    const DefaultCalibration& DefCal() const { return m_defCal; }
    CubeGeometry Geometry() const;

    const InstrumentOptions& Options() const { return m_options; }
    const DeviceSelection& Devices() const { return m_devices; }
    // Which devices are simulated, as the window's status pane and acquire's stderr show it
    // ("Simulated: cameras, COM1, COM4"; empty when every device is real).
    std::string SimulatedDevicesText() const { return m_devices.SimulatedText(); }
    // The same list for the line record beside a cube ("cameras, COM1, COM4"; "none" when every
    // device is real).
    std::string SimulatedDevicesList() const;
    // Whether the controller's link is up (answered the handshake and not lost since); any thread.
    bool ControllerLinkUp() const { return m_scannerLink.m_scannerConnected.load(); }
    // Notes about simulator switches that met a real device (for stderr).
    const std::vector<std::string>& Notes() const { return m_notes; }
    // The ports map read at start-up.
    const PortsMap& Ports() const { return m_ports; }
    // The simulated controller and monochromator the instrument attached (null when real or
    // attached by someone else).
    SimController* SimulatedController() { return m_simController.get(); }
    SimMonochromator* SimulatedMonochromator() { return m_simMonochromator.get(); }

private:
    void AttachSimulators();

    UserPrompts& m_prompts;
    InstrumentOptions m_options;
    DeviceSelection m_devices;
    PortsMap m_ports;
    bool m_devicesChosen = false;
    std::vector<std::string> m_notes;

    CameraSettingsValues m_cameraSettings;
    std::array<int32_t, 3> m_rgbBands = kDefaultRgbBands;
    ScannerSettingsValues m_scannerSettings;
    DefaultCalibration m_defCal;

    DataCameraControl m_cameras;
    ScannerLink m_scannerLink;
    ScannerMirrorLink m_mirror;
    ScannerLink::StatusCallback m_status;
    std::unique_ptr<AcquisitionEngine> m_engine;
    long m_dataCallbackId = -1;

    std::unique_ptr<SimController> m_simController;
    std::unique_ptr<SimMonochromator> m_simMonochromator;
    bool m_simCamerasAttached = false;
    bool m_camerasInstalled = false;
    std::string m_absentControllerPort; // the simulated controller's port when it is absent
    bool m_shutDown = false;
};
