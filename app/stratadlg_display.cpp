// The main window's display commands.
#include "app/stratadlg.h"

#include "resources/resource.h"

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnDisplayCommand(int id) { return false; }
