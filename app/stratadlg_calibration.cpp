// The main window's calibration commands.
#include "app/stratadlg.h"

#include "resources/resource.h"

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnCalibrationCommand(int id) { return false; }

void CStrataDlg::SaveDarkCube() {}

void CStrataDlg::SaveCalibrationCube() {}
