// The main window's storage commands.
#include "app/stratadlg.h"

#include "resources/resource.h"

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnStorageCommand(int id) { return false; }
