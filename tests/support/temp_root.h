// A temporary product root: every product path of the library resolves under it while the
// fixture lives; the directory and everything in it is removed afterwards.
#pragma once

#include <string>

namespace kova::test {

class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &root() const { return root_; }
    // The real location of a product path ("/proc/meminfo" -> "<root>/proc/meminfo").
    std::string path(const std::string &product_path) const { return root_ + product_path; }
    // Writes a file at a product path, creating its directories.
    void write(const std::string &product_path, const std::string &content) const;
    std::string read(const std::string &product_path) const;
    bool exists(const std::string &product_path) const;

private:
    std::string root_;
};

}  // namespace kova::test
