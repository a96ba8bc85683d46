#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/fonts.hpp"
#include "temp_dir.hpp"

namespace fs = std::filesystem;

TEST(Fonts, PackageConfigIsTheFileBesideTheModuleOrNone) {
    const TempDir tmp("fonts-config-test");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "fonts");
    const std::string module = (dir / "studio.so").string();
    EXPECT_EQ(vestrel::fonts::package_config(module), "");
    fs::create_directories(dir / "fonts" / "fonts.conf");  // a folder is no configuration
    EXPECT_EQ(vestrel::fonts::package_config(module), "");
    fs::remove(dir / "fonts" / "fonts.conf");
    std::ofstream(dir / "fonts" / "fonts.conf") << "<fontconfig/>";
    EXPECT_EQ(vestrel::fonts::package_config(module), (dir / "fonts" / "fonts.conf").string());
}
