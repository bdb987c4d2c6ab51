#pragma once
// Brings an instrument up as the window and acquire do, up to the scanner link: settings, devices,
// calibration, buffers, cameras, the link and the drive. False when the cameras could not be
// opened or the controller did not answer.
#include "instrument/Instrument.h"

inline bool StartInstrument(Instrument& ins) {
    ins.ReadSettings();
    ins.ChooseDevices();
    ins.ReadDefaultCalibration(1);
    ins.Engine().AllocateBuffers(ins.Geometry());
    if (!ins.OpenCameras())
        return false;
    ins.ConfigureCameras(nullptr);
    const bool connected = ins.ConnectScanner();
    ins.EnableDrive(true);
    return connected;
}
