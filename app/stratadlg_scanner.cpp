// The main window's scanner commands.
#include "app/stratadlg.h"

#include "resources/resource.h"

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnScannerCommand(int id) { return false; }
