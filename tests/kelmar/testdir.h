// Helpers shared by the Kelmar and updater log tests: a fresh scratch folder per test and
// plain byte-level file access by code page 936 (narrow) names.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace testing_support {

// A new empty folder under the system's temporary folder, removed with everything in it when
// the object goes. path() ends without a separator.
class ScratchDir {
public:
    ScratchDir() {
        static int s_nCounter = 0;
        std::filesystem::path base = std::filesystem::temp_directory_path();
        for (;;) {
            std::filesystem::path candidate = base / ("kelmar-test-" + std::to_string(Pid()) + "-" +
                                                      std::to_string(++s_nCounter));
            if (std::filesystem::create_directory(candidate)) {
                m_path = candidate;
                break;
            }
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The folder as a narrow path (only ASCII is used in it).
    std::string path() const { return m_path.string(); }
    // A name inside the folder; `name` is taken as bytes (code page 936).
    std::string operator/(const std::string& name) const { return path() + Sep() + name; }

    static char Sep() {
#if defined(_WIN32)
        return '\\';
#else
        return '/';
#endif
    }

private:
    static long Pid() {
#if defined(_WIN32)
        return static_cast<long>(GetCurrentProcessId());
#else
        return static_cast<long>(getpid());
#endif
    }

    std::filesystem::path m_path;
};

// Makes `dir` the current directory for the lifetime of the object.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& dir)
        : m_previous(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~CurrentDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::filesystem::path m_previous;
};

inline bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string ReadBytes(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "<missing>";
    }
    std::string bytes;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    std::fclose(file);
    return bytes;
}

inline bool IsFolder(const std::string& path) {
#if defined(_WIN32)
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

inline bool MakeFolder(const std::string& path) {
#if defined(_WIN32)
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
#else
    return mkdir(path.c_str(), 0777) == 0;
#endif
}

// True when `entry` is one log entry: "YYYY-MM-DD HH:MM:SS " + message + CR LF.
inline bool IsLogEntry(const std::string& entry, const std::string& message) {
    const std::string shape = "0000-00-00 00:00:00 ";
    if (entry.size() != shape.size() + message.size() + 2) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        bool digit = entry[i] >= '0' && entry[i] <= '9';
        if (shape[i] == '0' ? !digit : entry[i] != shape[i]) {
            return false;
        }
    }
    return entry.compare(shape.size(), message.size(), message) == 0 &&
           entry.compare(entry.size() - 2, 2, "\r\n") == 0;
}

}  // namespace testing_support
