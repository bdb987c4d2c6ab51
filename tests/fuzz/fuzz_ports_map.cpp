// The ports map (port name to device): any content is read within its bounds, without a crash or
// undefined behaviour, and every port name resolves to a device named in the file, to the default
// /dev/ttyS<n-1> when the file does not list the port, or to nothing when the file lists the port
// without a usable device (it then stays offline rather than reaching a wrong device).
#include "FuzzSupport.h"
#include "serial/PortsMap.h"
#include "serial/SerialPort.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputFile(data, size, "ports");
    const PortsMap map = ReadPortsMap(path);
    CSerialPort::InstallPortsMap(map, true);
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (int n = 1; n <= 10; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const std::string device = CSerialPort::DevicePath(name);
        if (map.Lists(name)) {
            FuzzCheck(device == map.DeviceOf(name), "a listed port resolves to its own line's device");
            FuzzCheck(device.empty() || text.find(device) != std::string::npos,
                      "a listed device comes from the file");
        } else {
            FuzzCheck(device == "/dev/ttyS" + std::to_string(n - 1),
                      "an unlisted port resolves to its default");
        }
    }
    FuzzCheck(CSerialPort::DevicePath("").empty(), "an empty name resolves to nothing");
    return 0;
}
