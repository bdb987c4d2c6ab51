#include "serial/PortsMap.h"

#include "core/Text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Problems listed one by one before the rest is only counted.
constexpr size_t kMaxListedProblems = 10;

// A short, printable quotation of text for a message.
std::string Quoted(const std::string& text) {
    std::string q;
    for (char c : text.substr(0, 40))
        q += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    if (text.size() > 40)
        q += "...";
    return "\"" + q + "\"";
}

// The device a path stands for, so that two names of one device (a symbolic link in
// /dev/serial/by-id and the ttyUSB node) are recognised as the same.
std::string Identity(const std::string& device) {
    std::error_code ec;
    const auto canonical = std::filesystem::weakly_canonical(device, ec);
    return ec ? device : canonical.string();
}

struct Entry {
    std::string port;
    std::string device;
    int line;
};

} // namespace

bool PortsMap::Lists(const std::string& portName) const {
    return devices.count(NormalisedComName(portName)) != 0;
}

std::string PortsMap::DeviceOf(const std::string& portName) const {
    const auto it = devices.find(NormalisedComName(portName));
    return it == devices.end() ? std::string() : it->second;
}

std::string NormalisedComName(const std::string& text) {
    const std::string name = AsciiUpper(TrimSpace(text));
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0)
        return {};
    if (!std::all_of(name.begin() + 3, name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return {};
    const int number = std::stoi(name.substr(3));
    if (number < 1 || number > 256)
        return {};
    return "COM" + std::to_string(number);
}

PortsMap ParsePortsMap(const std::string& text, const std::string& name) {
    PortsMap map;
    map.present = true;
    if (text.size() > kMaxPortsFileBytes) {
        map.problems.push_back(name + " is larger than " + std::to_string(kMaxPortsFileBytes) +
                               " bytes and is not used");
        return map;
    }
    if (text.find('\0') != std::string::npos) {
        map.problems.push_back(name + " is not a text file and is not used");
        return map;
    }
    std::vector<std::string> problems;
    std::vector<Entry> entries;
    int dataCameraLine = 0, focusCameraLine = 0;
    size_t start = 0;
    for (int lineNumber = 1; start < text.size(); ++lineNumber) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::string where = "line " + std::to_string(lineNumber) + " of " + name;
        if (line.size() > kMaxPortsLineLength) {
            problems.push_back(where + " is longer than " + std::to_string(kMaxPortsLineLength) +
                               " characters and is not used");
            continue;
        }
        std::vector<std::string> words;
        size_t p = 0;
        while (words.size() < 2) {
            p = line.find_first_not_of(" \t\r\v\f", p);
            if (p == std::string::npos)
                break;
            const size_t q = line.find_first_of(" \t\r\v\f", p);
            words.push_back(line.substr(p, q == std::string::npos ? std::string::npos : q - p));
            p = q;
        }
        if (words.empty() || words[0][0] == '#')
            continue;
        const std::string keyword = AsciiUpper(words[0]);
        if (keyword == "DATACAMERA" || keyword == "FOCUSCAMERA") {
            const bool data = keyword == "DATACAMERA";
            std::optional<CameraChoice>& slot = data ? map.dataCamera : map.focusCamera;
            int& seen = data ? dataCameraLine : focusCameraLine;
            std::string why;
            const std::optional<CameraChoice> choice =
                words.size() > 1 && words[1][0] != '#' ? CameraChoice::Parse(words[1], &why) : std::nullopt;
            if (seen != 0) {
                problems.push_back(where + " names the " + (data ? "data" : "focus") +
                                   " camera again (line " + std::to_string(seen) +
                                   " did); only the first is used");
            } else if (!choice) {
                problems.push_back(where + ": " + (why.empty() ? words[0] + " without a camera" : why));
            } else {
                slot = choice;
                seen = lineNumber;
            }
            continue;
        }
        const std::string port = NormalisedComName(words[0]);
        if (port.empty()) {
            problems.push_back(where + ": " + Quoted(words[0]) + " is not a port name (COM1 ... COM256)");
            continue;
        }
        std::string device = words.size() > 1 && words[1][0] != '#' ? words[1] : std::string();
        if (device.empty())
            problems.push_back(where + " names " + port + " without a device");
        entries.push_back({port, device, lineNumber});
    }
    // A port named twice, or a device named for two ports, is ambiguous: none of those lines is
    // used, and the ports stay listed (real) without a device.
    std::map<std::string, std::vector<const Entry*>> byPort, byDevice;
    for (const Entry& e : entries) {
        byPort[e.port].push_back(&e);
        if (!e.device.empty())
            byDevice[Identity(e.device)].push_back(&e);
    }
    for (const auto& [port, list] : byPort) {
        map.devices[port] = list.size() == 1 ? list.front()->device : std::string();
        if (list.size() > 1)
            problems.push_back(name + " names " + port + " " + std::to_string(list.size()) +
                               " times (lines " + std::to_string(list[0]->line) + " and " +
                               std::to_string(list[1]->line) + "); it is not used");
    }
    for (const auto& [device, list] : byDevice) {
        std::vector<std::string> ports;
        for (const Entry* e : list)
            if (std::find(ports.begin(), ports.end(), e->port) == ports.end())
                ports.push_back(e->port);
        if (ports.size() < 2)
            continue;
        std::string names;
        for (size_t i = 0; i < ports.size(); ++i) {
            map.devices[ports[i]].clear();
            names += (i == 0 ? "" : i + 1 == ports.size() ? " and " : ", ") + ports[i];
        }
        problems.push_back(name + " names " + list.front()->device + " for " + names +
                           "; none of them is used");
    }
    for (size_t i = 0; i < problems.size() && i < kMaxListedProblems; ++i)
        map.problems.push_back(problems[i]);
    if (problems.size() > kMaxListedProblems)
        map.problems.push_back("... and " + std::to_string(problems.size() - kMaxListedProblems) +
                               " more lines of " + name + " not used");
    return map;
}

PortsMap ReadPortsMap(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    // Non-blocking, so that a named pipe in its place cannot hold the start-up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return PortsMap{};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        PortsMap map;
        map.present = true;
        map.problems.push_back(name + " is not a regular file and is not used");
        return map;
    }
    // At most one byte more than a usable file may hold: enough to know it is too large.
    std::string text(kMaxPortsFileBytes + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n > 0) {
            got += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(fd);
    text.resize(got);
    return ParsePortsMap(text, name);
}
