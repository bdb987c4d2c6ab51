// The main window's preview commands.
#include "app/stratadlg.h"

#include "resources/resource.h"

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnPreviewCommand(int id) { return false; }
