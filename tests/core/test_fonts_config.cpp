#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/fonts.hpp"

namespace fs = std::filesystem;

TEST(Fonts, PackageConfigIsTheFileBesideTheModuleOrNone) {
    const fs::path dir = fs::temp_directory_path() / "vestrel_fonts_config_test";
    fs::remove_all(dir);
    fs::create_directories(dir / "fonts");
    const std::string module = (dir / "studio.so").string();
    EXPECT_EQ(vestrel::fonts::package_config(module), "");
    fs::create_directories(dir / "fonts" / "fonts.conf");  // a folder is no configuration
    EXPECT_EQ(vestrel::fonts::package_config(module), "");
    fs::remove(dir / "fonts" / "fonts.conf");
    std::ofstream(dir / "fonts" / "fonts.conf") << "<fontconfig/>";
    EXPECT_EQ(vestrel::fonts::package_config(module), (dir / "fonts" / "fonts.conf").string());
    fs::remove_all(dir);
}
