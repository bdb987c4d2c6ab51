#pragma once
// The main window's layout: its controls and its toolbar icons.
#include <QIcon>
#include <map>

class QWidget;

// Creates every control of the main window's client area with its id (object name and property),
// caption, place, visibility and initial value; `controls` maps each id to its widget.
void CreateMainWindowControls(QWidget* client, std::map<int, QWidget*>& controls);

// A toolbar command's icon, drawn here so the window looks the same on every platform.
QIcon ToolbarIcon(int command);
