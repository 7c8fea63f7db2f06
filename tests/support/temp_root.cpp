#include "support/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"

namespace kova::test {

TempRoot::TempRoot()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kova-root-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    kova::platform::set_path_root(root_.c_str());
    shm_prefix_ = std::filesystem::path(root_).filename().string() + "-";
    kova::platform::set_shm_prefix(shm_prefix_.c_str());
}

TempRoot::~TempRoot()
{
    kova::platform::set_path_root(nullptr);
    kova::platform::set_shm_prefix(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", ignored))
        if (entry.path().filename().string().rfind(shm_prefix_, 0) == 0) std::filesystem::remove(entry.path(), ignored);
}

void TempRoot::write(const std::string &product_path, const std::string &content) const
{
    std::filesystem::path file = path(product_path);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

std::string TempRoot::read(const std::string &product_path) const
{
    std::ifstream in(path(product_path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool TempRoot::exists(const std::string &product_path) const
{
    return std::filesystem::exists(path(product_path));
}

}  // namespace kova::test
