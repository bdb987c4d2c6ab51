#pragma once
// A temporary folder for a test, removed with its content at the end; optionally the process works
// in it (with ./Settings holding the shipped defaults) while the object lives.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

class TempDir {
public:
    explicit TempDir(bool enter = false, bool withSettings = false) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "arv300-test-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot make a temporary folder: " + tmpl);
        m_path = tmpl;
        if (withSettings) {
            std::filesystem::create_directories(m_path / "Settings");
            for (auto& e :
                 std::filesystem::directory_iterator(std::filesystem::path(ARV_SOURCE_DIR) / "settings"))
                std::filesystem::copy_file(e.path(), m_path / "Settings" / e.path().filename());
        }
        if (enter) {
            m_previous = std::filesystem::current_path();
            std::filesystem::current_path(m_path);
        }
    }
    ~TempDir() {
        if (!m_previous.empty())
            std::filesystem::current_path(m_previous);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    void Write(const std::string& name, const std::string& content) const {
        std::filesystem::create_directories((m_path / name).parent_path());
        std::ofstream(m_path / name, std::ios::binary) << content;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(m_path / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Names of the entries of the folder, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_path))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_previous;
};
