// A folder of its own under the system's temporary folder for one test: unique, so the same
// test may run in parallel processes (ctest -j), and removed when the test ends, also when
// an assertion stops it early.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

struct TempDir {
    std::filesystem::path path;

    explicit TempDir(const std::string& name = "test") {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / ("vestrel-" + name + "-XXXXXX")).string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed: " + tmpl);
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path operator/(const std::filesystem::path& p) const { return path / p; }
};
