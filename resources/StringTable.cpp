#include "resources/StringTable.h"

#include "resources/resource.h"

#include <map>

std::string LoadStringText(int id) {
    static const std::map<int, std::string> table = {
        {IDS_ABOUTBOX, "&About Strata..."},
        {ID_TB_SAVE_CUBE, "Save Cube"},
        {ID_TB_STOP, "Stop"},
        {ID_TB_START_CUBE, "Start Cube Collect"},
        {ID_TB_COLLECT_DARK, "Collect Dark Cube"},
        {ID_TB_COLLECT_CAL, "Collect Calibration Cube"},
        {ID_TB_SPECTRAL_DISPLAY, "Spectral Display"},
        {ID_TB_FOCUS_CAMERA, "On/Off Focus Camera"},
        {ID_TB_CAMERA_SETTINGS, "Camera Settings"},
        {ID_TB_SCANNER_SETTINGS, "Scanner Settings"},
    };
    auto it = table.find(id);
    return it == table.end() ? std::string() : it->second;
}
