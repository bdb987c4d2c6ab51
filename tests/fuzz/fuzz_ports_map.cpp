// The ports map (port name to device): any content resolves every port name without a crash or
// undefined behaviour, to a device named in the file or to the default /dev/ttyS<n-1>.
#include "FuzzSupport.h"
#include "scanner/SerialPort.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputFile(data, size, "ports");
    CSerialPort::SetPortsFile(path);
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (int n = 1; n <= 10; ++n) {
        const std::string device = CSerialPort::DevicePath("COM" + std::to_string(n));
        FuzzCheck(!device.empty(), "a COM name always resolves");
        FuzzCheck(device == "/dev/ttyS" + std::to_string(n - 1) || text.find(device) != std::string::npos,
                  "the device is the default or comes from the file");
    }
    FuzzCheck(CSerialPort::DevicePath("").empty(), "an empty name resolves to nothing");
    return 0;
}
